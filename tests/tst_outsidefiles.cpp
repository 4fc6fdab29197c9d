#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include "app/cursorfile.h"
#include "media/clsmusic.h"
#include "support/failure.h"
#include "support/installfolder.h"
#include "support/skinframework.h"

// The files that come from outside, as the fuzz targets saw them: every seed (a well-formed
// file) must load, and every input kept from a fuzz finding must be refused or loaded cleanly.
class TestOutsideFiles : public QObject
{
    Q_OBJECT

private slots:
    void cursorFiles_data() { addFiles(QStringLiteral("cursor")); }
    void cursorFiles();
    void skinFiles_data() { addFiles(QStringLiteral("skin")); }
    void skinFiles();
    void mediaFiles_data() { addFiles(QStringLiteral("media")); }
    void mediaFiles();
    void releasedGraphsLeaveNothingOpen();

private:
    static void addFiles(const QString& kind);
    static int openFileCount();
};

void TestOutsideFiles::addFiles(const QString& kind)
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("wellFormed");
    const QDir fuzz(QStringLiteral(PITCHWARDEN_SOURCE_DIR "/fuzz"));
    for (const QString& folder : {QStringLiteral("corpus"), QStringLiteral("regressions")}) {
        const QDir dir(fuzz.filePath(folder + QLatin1Char('/') + kind));
        for (const QString& name : dir.entryList(QDir::Files))
            QTest::addRow("%s/%s", qPrintable(folder), qPrintable(name))
                << dir.filePath(name) << (folder == QStringLiteral("corpus"));
    }
}

int TestOutsideFiles::openFileCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

void TestOutsideFiles::cursorFiles()
{
    QFETCH(QString, path);
    QFETCH(bool, wellFormed);
    try {
        const QCursor cursor = LoadCursorFile(path);
        QVERIFY(!cursor.pixmap().isNull());
        QVERIFY(cursor.hotSpot().x() < cursor.pixmap().width());
        QVERIFY(cursor.hotSpot().y() < cursor.pixmap().height());
    } catch (const Failure& failure) {
        QVERIFY2(!wellFormed, qPrintable(failure.description()));
    }
}

void TestOutsideFiles::skinFiles()
{
    QFETCH(QString, path);
    QFETCH(bool, wellFormed);
    QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("x")));
    QVERIFY(QFile::copy(path, folder.filePath(QStringLiteral("x/o.cjs"))));
    setInstallationFolderForTesting(folder.path());
    QWidget window;
    new QGroupBox(&window);
    SkinFramework skin;
    try {
        ApplySkin(window, skin);
        QCOMPARE(window.styleSheet(), skin.styleSheet());
        QVERIFY(!window.grab().isNull());
    } catch (const Failure& failure) {
        QVERIFY2(!wellFormed, qPrintable(failure.description()));
    }
    setInstallationFolderForTesting({});
}

void TestOutsideFiles::mediaFiles()
{
    QFETCH(QString, path);
    QFETCH(bool, wellFormed);
    clsMusic music;
    music.setFileName(path);
    QVERIFY(music.Duration() >= 0);
    if (wellFormed) {
        QVERIFY(music.HasAudio());
        QVERIFY(music.Duration() > 0);
    }
    music.Play();
    music.StopPlaying();
    QCOMPARE(music.State(), 0);
    music.setFileName(QString());
    QCOMPARE(music.Duration(), 0.0);
}

// Each opened graph used to keep its pipeline, and the pipeline's bus its socket pair, for the
// rest of the run: a dropped bus message was never released and held its source.
void TestOutsideFiles::releasedGraphsLeaveNothingOpen()
{
    const QString tone = QStringLiteral(PITCHWARDEN_SOURCE_DIR "/resources/recordings/110.mp3");
    clsMusic music;
    music.setFileName(tone); // what GStreamer sets up once per process
    music.setFileName(QString());
    const int before = openFileCount();
    for (int i = 0; i < 5; ++i) {
        music.setFileName(tone);
        QVERIFY(music.HasAudio());
        music.Play();
        music.StopPlaying();
        music.setFileName(QString());
    }
    QCoreApplication::processEvents();
    QCOMPARE(openFileCount(), before);
}

QTEST_MAIN(TestOutsideFiles)
#include "tst_outsidefiles.moc"
