#include <functional>
#include <limits>
#include <map>

#include <sys/stat.h>

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "media/clsmusic.h"
#include "support/failure.h"
#include "testtone.h"

// The media player over a real GStreamer pipeline (with a sink that needs no sound card).
class TestClsMusic : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void newPlayer();
    void openAudioOnlyMp3();
    void openRelativeFileName();
    void playPauseStop();
    void endIsSeenAsPositionEqualToDuration();
    void endOfAMediumOfUnknownLength();
    void playAtTheEndRestartsAtZero();
    void emptyFileNameReleasesTheFile();
    void missingAndGarbageFiles();
    void clamps_data();
    void clamps();
    void fifoDoesNotHang();
    void noSoundOutputIsReportedAtPlay();
    void unplayableFileWithoutAServerPlaysSilently();
    void soundRisesAndFadesOnThePlayingPath();

private:
    static int openDescriptorsTo(const QString& path);

    QTemporaryDir m_dir;
    QString m_tone;
    double m_length = 0;
};

void TestClsMusic::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_tone = makeTestTone(m_dir.path(), 1.0);
    QVERIFY(!m_tone.isEmpty());
    m_length = (std::ceil(44100.0 / 1152) + 1) * 1152 / 44100; // frames × 1152 samples
}

int TestClsMusic::openDescriptorsTo(const QString& path)
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (QFile::symLinkTarget(fds.filePath(fd)) == QFileInfo(path).canonicalFilePath())
            ++count;
    return count;
}

void TestClsMusic::newPlayer()
{
    clsMusic music;
    QCOMPARE(music.State(), 0);
    QCOMPARE(music.Position(), 0.0);
    QCOMPARE(music.Duration(), 0.0);
    QVERIFY(!music.HasAudio());
    QVERIFY(!music.HasVideo());
    QCOMPARE(music.FileName(), QString());
    QCOMPARE(music.Width().toInt(), 0);
    music.Play();
    music.Pause();
    music.StopPlaying();
    QCOMPARE(music.State(), 0);
}

void TestClsMusic::openAudioOnlyMp3()
{
    clsMusic music;
    music.setFileName(m_tone);
    QCOMPARE(music.FileName(), m_tone);
    QVERIFY(music.HasAudio());
    QVERIFY(!music.HasVideo());
    QCOMPARE(music.Width().toInt(), 0);
    QCOMPARE(music.Height().toInt(), 0);
    QCOMPARE(music.State(), 0);
    QCOMPARE(music.Position(), 0.0);
    // Known at once, before any playback.
    QVERIFY2(std::abs(music.Duration() - m_length) < 0.03,
             qPrintable(QString::number(music.Duration())));
}

// A relative "TEMP" gives relative tone paths; they must open like absolute ones.
void TestClsMusic::openRelativeFileName()
{
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QFileInfo(m_tone).path()));
    clsMusic music;
    music.setFileName(QFileInfo(m_tone).fileName());
    QDir::setCurrent(before);
    QVERIFY(music.HasAudio());
    QVERIFY(music.Duration() > 0);
}

void TestClsMusic::playPauseStop()
{
    clsMusic music;
    music.setFileName(m_tone);
    music.Play();
    QCOMPARE(music.State(), 1);
    QTRY_VERIFY(music.Position() > 0.05);
    music.Pause();
    QCOMPARE(music.State(), 2);
    music.StopPlaying();
    QCOMPARE(music.State(), 0);
    const double stoppedAt = music.Position();
    QVERIFY(stoppedAt > 0.0); // a stop keeps the position
    music.Play();
    QCOMPARE(music.State(), 1);
    QTRY_VERIFY(music.Position() > stoppedAt);
}

void TestClsMusic::endIsSeenAsPositionEqualToDuration()
{
    clsMusic music;
    QSignalSpy notified(&music, &clsMusic::notified);
    music.setFileName(m_tone);
    music.setPosition(0);
    music.Play();
    QTRY_VERIFY_WITH_TIMEOUT(music.Position() == music.Duration(), 10000);
    QVERIFY(music.Duration() > 0);
    QVERIFY(notified.count() > 0);
    QCOMPARE(music.State(), 1); // the graph stays running at the end
}

// Bytes before the first frame hide an MP3's length from the frame count, and a few seconds of
// it from GStreamer until it has been played through.
void TestClsMusic::endOfAMediumOfUnknownLength()
{
    const QString tone = makeTestTone(m_dir.path(), 3.0, 8000.0, QStringLiteral("long.mp3"));
    QFile file(tone);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray padded = QByteArray(100, '\0') + file.readAll();
    file.close();
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(padded) == padded.size());
    file.close();
    clsMusic music;
    music.setFileName(tone);
    QVERIFY(music.HasAudio());
    QCOMPARE(music.Duration(), 0.0);
    music.setSpeed(4.0);
    music.Play();
    QTRY_VERIFY_WITH_TIMEOUT(music.Position() == music.Duration(), 5000);
    QVERIFY2(std::abs(music.Duration() - 3.0) < 0.1, qPrintable(QString::number(music.Duration())));
}

void TestClsMusic::playAtTheEndRestartsAtZero()
{
    clsMusic music;
    music.setFileName(m_tone);
    music.setPosition(1e9);
    QCOMPARE(music.Position(), music.Duration());
    music.Play();
    QVERIFY(music.Position() < 0.2);
    QCOMPARE(music.State(), 1);
}

void TestClsMusic::emptyFileNameReleasesTheFile()
{
    const QString copy = m_dir.filePath(QStringLiteral("copy.mp3"));
    QVERIFY(QFile::copy(m_tone, copy));
    clsMusic music;
    music.setFileName(copy);
    music.Play();
    QTRY_VERIFY(music.Position() > 0.02);
    QVERIFY(openDescriptorsTo(copy) > 0);
    music.setFileName(QString());
    QCOMPARE(openDescriptorsTo(copy), 0);
    QVERIFY(QFile::remove(copy));
    QCOMPARE(music.State(), 0);
    QVERIFY(!music.HasAudio());
    music.Play();
    QCOMPARE(music.State(), 0);
}

void TestClsMusic::missingAndGarbageFiles()
{
    const QString garbage = m_dir.filePath(QStringLiteral("garbage.mp3"));
    QFile file(garbage);
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (int i = 0; i < 5000; ++i)
        file.write(QByteArray::number(i * 7919 % 251));
    file.close();
    for (const QString& name : {m_dir.filePath(QStringLiteral("missing.mp3")), garbage}) {
        clsMusic music;
        music.setFileName(name);
        QCOMPARE(music.FileName(), name);
        QVERIFY(!music.HasAudio());
        QVERIFY(!music.HasVideo());
        QCOMPARE(music.Duration(), 0.0);
        QCOMPARE(music.Position(), 0.0);
        music.Play();
        QCOMPARE(music.Position(), music.Duration());
    }
}

void TestClsMusic::clamps_data()
{
    QTest::addColumn<QString>("property");
    QTest::addColumn<double>("before"); // written first, in range
    QTest::addColumn<double>("written");
    QTest::addColumn<double>("expected");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::addRow("speed below 0.1") << "Speed" << 2.0 << 0.05 << 0.1;
    QTest::addRow("speed -1") << "Speed" << 2.0 << -1.0 << 0.1;
    QTest::addRow("speed 4 unchanged") << "Speed" << 2.0 << 4.0 << 4.0;
    QTest::addRow("speed not a number") << "Speed" << 2.0 << nan << 0.1;
    QTest::addRow("speed -inf") << "Speed" << 2.0 << -inf << 0.1;
    QTest::addRow("speed +inf refused") << "Speed" << 2.0 << inf << 2.0;
    QTest::addRow("volume above 0") << "Volume" << -600.0 << 500.0 << 0.0;
    QTest::addRow("volume below -10000") << "Volume" << -600.0 << -20000.0 << -10000.0;
    QTest::addRow("volume in range") << "Volume" << -600.0 << -300.0 << -300.0;
    QTest::addRow("balance above 10000") << "Balance" << 500.0 << 20000.0 << 10000.0;
    QTest::addRow("balance below -10000") << "Balance" << 500.0 << -20000.0 << -10000.0;
    QTest::addRow("position -3") << "Position" << 0.5 << -3.0 << 0.0;
}

// Out-of-range writes are brought into range; each starts from a value that the graph took, so
// that a write passed on unchanged (and refused by the graph) would show.
void TestClsMusic::clamps()
{
    QFETCH(QString, property);
    QFETCH(double, before);
    QFETCH(double, written);
    QFETCH(double, expected);
    clsMusic music;
    music.setFileName(m_tone);
    const std::map<QString, std::function<void(double)>> write = {
        {"Speed", [&](double v) { music.setSpeed(v); }},
        {"Volume", [&](double v) { music.setVolume(qint32(v)); }},
        {"Balance", [&](double v) { music.setBalance(qint32(v)); }},
        {"Position", [&](double v) { music.setPosition(v); }}};
    const std::map<QString, std::function<double()>> read = {
        {"Speed", [&] { return music.Speed(); }},
        {"Volume", [&] { return double(music.Volume()); }},
        {"Balance", [&] { return double(music.Balance()); }},
        {"Position", [&] { return music.Position(); }}};
    write.at(property)(before);
    QCOMPARE(read.at(property)(), before);
    write.at(property)(written);
    QCOMPARE(read.at(property)(), expected);
    // The graph still seeks afterwards.
    music.setPosition(0.25);
    QCOMPARE(music.Position(), 0.25);
}

void TestClsMusic::fifoDoesNotHang()
{
    const QString fifo = m_dir.filePath(QStringLiteral("fifo.mp3"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    clsMusic music;
    music.setFileName(fifo);
    QVERIFY(!music.HasAudio());
    QCOMPARE(music.Duration(), 0.0);
}

// With no sink configured and no sound server (a dead server socket), the player takes the
// sound card; on a machine without one it plays to nowhere, and the press must say so instead of
// passing in silence.
void TestClsMusic::noSoundOutputIsReportedAtPlay()
{
    QFile cards(QStringLiteral("/proc/asound/cards"));
    if (cards.open(QIODevice::ReadOnly) && !cards.readAll().contains("no soundcards"))
        QSKIP("this machine has an audio device to play to");
    const QByteArray sink = qgetenv("PITCHWARDEN_AUDIO_SINK");
    qunsetenv("PITCHWARDEN_AUDIO_SINK");
    qputenv("PULSE_SERVER",
            "unix:" + QFile::encodeName(m_dir.filePath(QStringLiteral("no-server"))));
    QString reported;
    {
        clsMusic music;
        music.setFileName(m_tone);
        try {
            music.Play();
        } catch (const Failure& failure) {
            reported = failure.description();
        }
        QCOMPARE(music.State(), 0);
        QCOMPARE(music.Position(), 0.0); // reported once, at Play
    }
    qunsetenv("PULSE_SERVER");
    qputenv("PITCHWARDEN_AUDIO_SINK", sink);
    QVERIFY2(reported.startsWith(QStringLiteral("No sound output could be opened: there is no "
                                                "sound server")),
             qPrintable(reported));
}

// No sound server, no sink given: a file that cannot be played is no output's fault.
void TestClsMusic::unplayableFileWithoutAServerPlaysSilently()
{
    const QString garbage = m_dir.filePath(QStringLiteral("garbage.mp3"));
    QFile file(garbage);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(4096, 'x')) == 4096);
    file.close();
    const QByteArray sink = qgetenv("PITCHWARDEN_AUDIO_SINK");
    qunsetenv("PITCHWARDEN_AUDIO_SINK");
    qputenv("PULSE_SERVER",
            "unix:" + QFile::encodeName(m_dir.filePath(QStringLiteral("no-server"))));
    QStringList reported;
    for (const QString& path : {garbage, m_dir.filePath(QStringLiteral("missing.mp3"))}) {
        clsMusic music;
        music.setFileName(path);
        try {
            music.Play();
            music.Position();
        } catch (const Failure& failure) {
            reported << failure.description();
        }
    }
    qunsetenv("PULSE_SERVER");
    qputenv("PITCHWARDEN_AUDIO_SINK", sink);
    QCOMPARE(reported, QStringList());
}

// The sink writes what it plays, when it is due, to a file. The tone is at full level from its
// first sample: the sound must rise from silence after the seek that every play starts with (the
// rise spent on the sound the seek throws away would leave a click), and once StopPlaying returns
// the fade to silence has been played (pausing sooner would cut the tone off mid-wave).
void TestClsMusic::soundRisesAndFadesOnThePlayingPath()
{
    const QString played = m_dir.filePath(QStringLiteral("played.f32"));
    const QByteArray sink = qgetenv("PITCHWARDEN_AUDIO_SINK");
    qputenv("PITCHWARDEN_AUDIO_SINK",
            "filesink sync=true buffer-mode=unbuffered location=" + QFile::encodeName(played));
    {
        clsMusic music;
        music.setFileName(makeTestWave(m_dir.path(), 1.0));
        music.setPosition(0);
        music.Play();
        QTRY_VERIFY(music.Position() > 0.2);
        music.StopPlaying();
        QFile file(played);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const auto* samples = reinterpret_cast<const float*>(bytes.constData());
        const qsizetype count = bytes.size() / qsizetype(sizeof(float));
        QVERIFY(count > 44100 / 5);
        const auto loudest = [&](qsizetype from, qsizetype to) {
            float peak = 0;
            for (qsizetype i = from; i < to; ++i)
                peak = std::max(peak, std::abs(samples[i]));
            return peak;
        };
        const float tone = loudest(count - 44100 / 5, count - 44100 / 10);
        QVERIFY(tone > 0.3f); // the tone played
        const float firstMillisecond = loudest(0, 44);
        QVERIFY2(firstMillisecond < 0.1f * tone,
                 qPrintable(QStringLiteral("%1 of the tone's level").arg(firstMillisecond / tone)));
        QCOMPARE(loudest(count - 100, count), 0.0f); // and faded out
    }
    qputenv("PITCHWARDEN_AUDIO_SINK", sink);
}

QTEST_MAIN(TestClsMusic)
#include "tst_clsmusic.moc"
