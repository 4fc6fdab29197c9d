#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "app/form1.h"
#include "app/homepage.h"
#include "media/clsmusic.h"
#include "support/installfolder.h"
#include "support/messagebox.h"
#include "testtone.h"
#include "tones/tonecatalogue.h"
#include "tones/toneplayback.h"

// Hundreds of opens, plays, stops and releases, and hundreds of presses played to their end:
// resident memory, open files and threads stay where they were after the first few.
class TestCycles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { setMessageBoxPresenter({}); }

    void playerCycles();
    void pressesPlayedToTheEnd();

private:
    struct Usage
    {
        qint64 residentBytes = 0;
        int openFiles = 0;
        int threads = 0;
    };
    static Usage usage();
    static void compare(const char* what, const Usage& early, const Usage& late);

    QTemporaryDir m_sources;
    QString m_playerTone;
    QString m_pressTone;
};

namespace {

constexpr int Cycles = 200;
constexpr int Baseline = 10;
constexpr qint64 AllowedGrowth = 8 * 1024 * 1024;

} // namespace

TestCycles::Usage TestCycles::usage()
{
    Usage now;
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = statm.readAll().split(' ');
        if (fields.size() > 1)
            now.residentBytes = fields[1].toLongLong() * ::sysconf(_SC_PAGESIZE);
    }
    now.openFiles = int(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System).size());
    now.threads = int(QDir(QStringLiteral("/proc/self/task"))
                          .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                          .size());
    return now;
}

void TestCycles::compare(const char* what, const Usage& early, const Usage& late)
{
    qInfo("%s: resident %.1f MB after %d cycles, %.1f MB after %d (%+.2f MB); open files %d -> "
          "%d; threads %d -> %d",
          what, early.residentBytes / 1048576.0, Baseline, late.residentBytes / 1048576.0, Cycles,
          (late.residentBytes - early.residentBytes) / 1048576.0, early.openFiles, late.openFiles,
          early.threads, late.threads);
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps freed memory in quarantine, so the resident size says nothing
    // about leaks there; its leak checker looks at them instead.
#else
    QVERIFY2(late.residentBytes - early.residentBytes <= AllowedGrowth,
             "resident memory keeps growing");
#endif
    QCOMPARE(late.openFiles, early.openFiles);
    QVERIFY2(late.threads <= early.threads + 2, "threads pile up");
}

void TestCycles::initTestCase()
{
    QVERIFY(m_sources.isValid());
    m_playerTone = makeTestTone(m_sources.path(), 0.5, 8000, QStringLiteral("player.mp3"));
    m_pressTone = makeTestTone(m_sources.path(), 0.05, 15000, QStringLiteral("press.mp3"));
    QVERIFY(!m_playerTone.isEmpty() && !m_pressTone.isEmpty());
    HomePageLottery::setRandomSource([] { return 0.5; });
    setInstallationFolderForTesting(m_sources.path());
}

// Open, play, stop and release on one player.
void TestCycles::playerCycles()
{
    clsMusic music;
    Usage early;
    for (int cycle = 1; cycle <= Cycles; ++cycle) {
        music.setFileName(m_playerTone);
        QVERIFY(music.HasAudio());
        music.Play();
        QTRY_VERIFY(music.Position() > 0.0);
        music.StopPlaying();
        QCOMPARE(music.State(), 0);
        music.setFileName(QString());
        QVERIFY(!music.HasAudio());
        if (cycle == Baseline)
            early = usage();
    }
    compare("player", early, usage());
}

// Presses on every row in turn, each tone played to its end. A short tone lies at the tone
// file's path, so it is played instead of the recording and then deleted.
void TestCycles::pressesPlayedToTheEnd()
{
    QTemporaryDir temp;
    qputenv("TEMP", QFile::encodeName(temp.path()));
    QStringList messages;
    setMessageBoxPresenter([&](const QString& text, int, const QString&) { messages << text; });
    Form1 form;
    form.Form_Load();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    clsMusic* music = form.Music();
    QVERIFY(music);
    bool reachedTheEnd = false;
    connect(music, &clsMusic::notified, this, [&] {
        reachedTheEnd =
            reachedTheEnd || (music->Duration() > 0 && music->Position() == music->Duration());
    });

    Usage early;
    for (int cycle = 1; cycle <= Cycles; ++cycle) {
        const ToneEntry& tone = ToneCatalogue::row(1 + cycle % ToneCatalogue::RowCount);
        QVERIFY(QFile::copy(m_pressTone, ToneFilePath(tone)));
        reachedTheEnd = false;
        QTest::mouseClick(form.pushButton(tone.row), Qt::LeftButton);
        QVERIFY(reachedTheEnd);
        QCOMPARE(form.pushButton(tone.row)->Caption(), tone.buttonCaption);
        QVERIFY(!form.controller().Playing());
        QVERIFY(!QFileInfo::exists(ToneFilePath(tone)));
        if (cycle == Baseline)
            early = usage();
    }
    QCOMPARE(messages, QStringList());
    compare("presses", early, usage());
}

QTEST_MAIN(TestCycles)
#include "tst_cycles.moc"
