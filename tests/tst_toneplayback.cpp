#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/form1.h"
#include "app/homepage.h"
#include "media/clsmusic.h"
#include "support/doevents.h"
#include "support/installfolder.h"
#include "support/messagebox.h"
#include "testtone.h"
#include "tones/tonecatalogue.h"
#include "tones/toneplayback.h"

// The tone buttons with the real player: play, stop, refuse, and clean up.
class TestTonePlayback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void recordingPlaysToItsEndAndIsCleanedUp();
    void secondPressStopsAtOnce();
    void pressOnAnotherRowIsRefused();
    void stopBeforeTheWriteHasNoEffect();
    void existingFileIsPlayedNotOverwritten();
    void hourglassAfterRowOneOnly();
    void closingStepsOrder_data();
    void closingStepsOrder();

private:
    QString tonePath(int row) const { return ToneFilePath(ToneCatalogue::row(row)); }
    void plantShortTone(int row);
    void press(int row) { QTest::mouseClick(m_form->pushButton(row), Qt::LeftButton); }
    // Runs `action` once, inside the next press's wait, as soon as its tone plays.
    void whilePlaying(std::function<void()> action);

    QTemporaryDir m_sources;
    QString m_shortTone;
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<Form1> m_form;
    QStringList m_messages;
};

void TestTonePlayback::initTestCase()
{
    m_shortTone = makeTestTone(m_sources.path(), 0.3);
    QVERIFY(!m_shortTone.isEmpty());
    HomePageLottery::setRandomSource([] { return 0.5; });
    setInstallationFolderForTesting(m_sources.path());
}

void TestTonePlayback::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    qputenv("TEMP", QFile::encodeName(m_temp->path()));
    m_messages.clear();
    setMessageBoxPresenter([this](const QString& text, int style, const QString& title) {
        m_messages << QStringLiteral("%1|%2|%3").arg(text).arg(style).arg(title);
    });
    m_form = std::make_unique<Form1>();
    m_form->Form_Load();
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void TestTonePlayback::cleanup()
{
    m_form.reset();
    setMessageBoxPresenter({});
    setDoEventsHandler({});
}

void TestTonePlayback::whilePlaying(std::function<void()> action)
{
    auto* poll = new QTimer(m_form.get());
    poll->setInterval(5);
    connect(poll, &QTimer::timeout, poll, [this, poll, action] {
        if (m_form->Music() && m_form->Music()->State() == 1) {
            poll->stop();
            action();
        }
    });
    poll->start();
}

void TestTonePlayback::plantShortTone(int row)
{
    QVERIFY(QFile::copy(m_shortTone, tonePath(row)));
}

void TestTonePlayback::recordingPlaysToItsEndAndIsCleanedUp()
{
    bool sawPlaying = false;
    whilePlaying([&] {
        sawPlaying = m_form->controller().Playing() &&
                     m_form->pushButton(11)->Caption() == QStringLiteral("Stop Playing") &&
                     QFileInfo(tonePath(11)).size() == 402288 && m_form->Music()->State() == 1;
    });
    press(11); // the real 22 kHz recording, about ten seconds
    QVERIFY(sawPlaying);
    QCOMPARE(m_form->pushButton(11)->Caption(), QStringLiteral("Play 22 kHz"));
    QVERIFY(!m_form->controller().Playing());
    QVERIFY(!QFileInfo::exists(tonePath(11)));
    QVERIFY(m_messages.isEmpty());
}

void TestTonePlayback::secondPressStopsAtOnce()
{
    QElapsedTimer sinceStop;
    whilePlaying([&] {
        QVERIFY(QFileInfo::exists(tonePath(1)));
        sinceStop.start();
        press(1);
        QCOMPARE(m_form->Music()->State(), 0);
    });
    press(1);
    QVERIFY(sinceStop.isValid());
    QCOMPARE(m_form->pushButton(1)->Caption(), QStringLiteral("Play 8 kHz"));
    QVERIFY(!m_form->controller().Playing());
    QVERIFY(!QFileInfo::exists(tonePath(1)));
    QVERIFY(m_messages.isEmpty());
}

void TestTonePlayback::pressOnAnotherRowIsRefused()
{
    int stateWhileRefused = -1;
    whilePlaying([&] {
        setMessageBoxPresenter([&](const QString& text, int style, const QString& title) {
            m_messages << QStringLiteral("%1|%2|%3").arg(text).arg(style).arg(title);
            stateWhileRefused = m_form->Music()->State();
        });
        press(7);
        QCOMPARE(m_form->pushButton(7)->Caption(), QStringLiteral("Play 18 kHz"));
        QCOMPARE(m_form->pushButton(1)->Caption(), QStringLiteral("Stop Playing"));
        QCOMPARE(m_form->Music()->State(), 1);
        press(1);
    });
    press(1);
    QCOMPARE(m_messages, QStringList({"Please stop playing first.|0|Pitchwarden Ear"}));
    QCOMPARE(stateWhileRefused, 1);
    QCOMPARE(m_form->pushButton(1)->Caption(), QStringLiteral("Play 8 kHz"));
}

void TestTonePlayback::stopBeforeTheWriteHasNoEffect()
{
    bool first = true;
    setDoEventsHandler([&] {
        if (!first)
            return;
        first = false;
        press(5); // reads "Stop Playing": a stop, before anything plays
        plantShortTone(5);
    });
    QElapsedTimer played;
    played.start();
    press(5);
    QVERIFY(!first);
    // The tone played to its end all the same.
    QVERIFY2(played.elapsed() >= 250, qPrintable(QString::number(played.elapsed())));
    QCOMPARE(m_form->pushButton(5)->Caption(), QStringLiteral("Play 15 kHz"));
    QVERIFY(!QFileInfo::exists(tonePath(5)));
}

void TestTonePlayback::existingFileIsPlayedNotOverwritten()
{
    plantShortTone(6);
    const qint64 plantedSize = QFileInfo(tonePath(6)).size();
    qint64 sizeWhilePlaying = 0;
    whilePlaying([&] { sizeWhilePlaying = QFileInfo(tonePath(6)).size(); });
    press(6);
    QCOMPARE(sizeWhilePlaying, plantedSize);
    QVERIFY(!QFileInfo::exists(tonePath(6)));
    QCOMPARE(m_form->pushButton(6)->Caption(), QStringLiteral("Play 17 kHz"));
}

void TestTonePlayback::hourglassAfterRowOneOnly()
{
    plantShortTone(2);
    press(2);
    QCOMPARE(m_form->MousePointer(), 0);
    plantShortTone(1);
    press(1);
    QCOMPARE(m_form->MousePointer(), 11);
    QTest::mouseMove(m_form->pushButton(3), QPoint(20, 10));
    QCOMPARE(m_form->MousePointer(), 11);
}

void TestTonePlayback::closingStepsOrder_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("fileOpenAtDelete");
    QTest::addRow("A, row 1") << 1 << false;
    QTest::addRow("B, row 3") << 3 << true;
    QTest::addRow("A, row 10") << 10 << false;
}

// Closing steps A release the file before deleting it; B delete it while still open.
void TestTonePlayback::closingStepsOrder()
{
    QFETCH(int, row);
    QFETCH(bool, fileOpenAtDelete);
    plantShortTone(row);
    QString openAtDelete = QStringLiteral("unset");
    setDoEventsHandler([&] { openAtDelete = m_form->Music()->FileName(); });
    press(row);
    QCOMPARE(openAtDelete == tonePath(row), fileOpenAtDelete);
    QVERIFY(!QFileInfo::exists(tonePath(row)));
    QVERIFY(m_messages.isEmpty());
}

QTEST_MAIN(TestTonePlayback)
#include "tst_toneplayback.moc"
