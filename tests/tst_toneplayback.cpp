#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/form1.h"
#include "app/homepage.h"
#include "media/clsmusic.h"
#include "media/soundserver.h"
#include "support/doevents.h"
#include "support/installfolder.h"
#include "support/messagebox.h"
#include "testtone.h"
#include "tones/tonecatalogue.h"
#include "tones/toneplayback.h"
#include "tones/tonewindow.h"

Q_DECLARE_METATYPE(ServerState)

// Stands in for the main window: captions in a table, the pointer as a number, and its own
// player, which answers only the requests (counted from 1) that `answers` lets through.
class StandInWindow : public ToneWindow
{
public:
    QString ToneButtonCaption(int row) const override
    {
        return captions.value(row, ToneCatalogue::row(row).buttonCaption);
    }
    void setToneButtonCaption(int row, const QString& caption) override { captions[row] = caption; }
    void setMousePointer(int value) override { pointer = value; }
    clsMusic* Music() const override { return answers(++requests) ? player.get() : nullptr; }

    QMap<int, QString> captions;
    int pointer = 0;
    mutable int requests = 0;
    std::function<bool(int request)> answers = [](int) { return true; };
    std::unique_ptr<clsMusic> player = std::make_unique<clsMusic>();
};

// Ends a wait that would not end by itself: after 100 turns of the event loop it moves the
// player to the end of its media, which ends any wait that still compares the position with the
// duration, and remembers that it had to.
class WaitBound
{
public:
    explicit WaitBound(clsMusic* player)
    {
        m_turns.setInterval(0);
        QObject::connect(&m_turns, &QTimer::timeout, [this, player] {
            if (++m_count == 100) {
                hit = true;
                player->setPosition(1e9);
            }
        });
        m_turns.start();
    }

    bool hit = false;

private:
    QTimer m_turns;
    int m_count = 0;
};

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
    void closeWhilePlayingStopsThenEnds();
    void pressWithoutAPlayer_data();
    void pressWithoutAPlayer();
    void failingStateReadEndsTheWait();
    void outputThatCannotBeHeard_data();
    void outputThatCannotBeHeard();
    void outputLostMidToneIsReportedByTheWait();
    void pressWhileTheToneOpens_data();
    void pressWhileTheToneOpens();
    void theWaitSleepsUntilSomethingHappens();

private:
    QString tonePath(int row) const { return ToneFilePath(ToneCatalogue::row(row)); }
    void plantShortTone(int row);
    void press(int row) { QTest::mouseClick(m_form->pushButton(row), Qt::LeftButton); }
    // Runs `action` once, inside the next press's wait, as soon as its tone plays.
    void whilePlaying(std::function<void()> action);
    // The lines of the error messages shown so far, in order.
    QList<int> reportedLines() const;

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
    SoundServer::setStandInForTesting({});
    setMessageBoxPresenter({});
    setDoEventsHandler({});
    Form1::setProgramEnd({});
}

QList<int> TestTonePlayback::reportedLines() const
{
    static const QRegularExpression atLine(QStringLiteral(" at line (\\d+)\r"));
    QList<int> lines;
    for (const QString& message : m_messages)
        if (const auto match = atLine.match(message); match.hasMatch())
            lines << match.captured(1).toInt();
    return lines;
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
    std::unique_ptr<WaitBound> bound;
    whilePlaying([&] {
        QVERIFY(QFileInfo::exists(tonePath(1)));
        press(1);
        QCOMPARE(m_form->Music()->State(), 0);
        bound = std::make_unique<WaitBound>(m_form->Music());
    });
    press(1);
    QVERIFY(bound);
    QVERIFY2(!bound->hit, "the wait went on after the stop");
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
        // The playing button is on; the refused one stays off.
        QVERIFY(m_form->pushButton(1)->isChecked() && !m_form->pushButton(7)->isChecked());
        QCOMPARE(m_form->Music()->State(), 1);
        press(1);
    });
    press(1);
    QCOMPARE(m_messages, QStringList({"Please stop playing first.|0|Pitchwarden Ear"}));
    QCOMPARE(stateWhileRefused, 1);
    QCOMPARE(m_form->pushButton(1)->Caption(), QStringLiteral("Play 8 kHz"));
    QVERIFY(!m_form->pushButton(1)->isChecked());
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
    for (const ToneEntry& tone : ToneCatalogue::rows())
        QTest::addRow("row %d", tone.row) << tone.row << (tone.row >= 2 && tone.row <= 4);
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

// The close runs inside the tone's wait: the player is stopped before the program ends.
void TestTonePlayback::closeWhilePlayingStopsThenEnds()
{
    int ends = 0;
    int stateAtEnd = -1;
    Form1::setProgramEnd([&] {
        ++ends;
        stateAtEnd = m_form->Music()->State();
    });
    plantShortTone(8);
    whilePlaying([&] { m_form->close(); });
    press(8);
    QCOMPARE(ends, 1);
    QCOMPARE(stateAtEnd, 0);
    QVERIFY(m_messages.isEmpty());
}

void TestTonePlayback::pressWithoutAPlayer_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QList<int>>("lines");
    const QList<int> closingA = {114, 116, 118, 122, 126, 126, 128};
    const QList<int> closingB = {114, 116, 118, 122, 128, 128, 130};
    for (const ToneEntry& tone : ToneCatalogue::rows())
        QTest::addRow("row %d", tone.row)
            << tone.row << (tone.closing == ClosingSteps::A ? closingA : closingB);
}

// As after a failed start-up: every use of the player fails and is reported at its own line. A
// failed position read ends the wait; a failed state read in the closing steps still tries the
// stop; the tone file is deleted and the caption comes back all the same.
void TestTonePlayback::pressWithoutAPlayer()
{
    QFETCH(int, row);
    QFETCH(QList<int>, lines);
    StandInWindow window;
    window.answers = [](int) { return false; };
    TonePlaybackController controller(window);
    controller.Click(row);
    QCOMPARE(reportedLines(), lines);
    QCOMPARE(window.ToneButtonCaption(row), ToneCatalogue::row(row).buttonCaption);
    QCOMPARE(window.pointer, row == 1 ? 11 : 0);
    QVERIFY(!controller.Playing());
    QVERIFY(!QFileInfo::exists(tonePath(row)));
}

// The player answers the reads of the position but not the first read of its state (request 6:
// after opening, seeking, playing, and reading the duration and the position): the wait ends
// there instead of going round again.
void TestTonePlayback::failingStateReadEndsTheWait()
{
    StandInWindow window;
    window.answers = [](int request) { return request <= 5; };
    TonePlaybackController controller(window);
    controller.Click(5);
    QCOMPARE(reportedLines(), QList<int>({124, 126, 126, 128}));
    QCOMPARE(window.ToneButtonCaption(5), QStringLiteral("Play 15 kHz"));
    QVERIFY(!controller.Playing());
}

namespace {

// A server whose default sink, with our stream on it, plays at `rate`.
ServerState answering(int rate)
{
    ServerState state;
    state.answer = ServerState::Answered;
    state.defaultSink = ServerSink{QStringLiteral("nullsink"), rate};
    state.stream = ServerStream{false, false, *state.defaultSink};
    return state;
}

template <typename Change> ServerState changed(ServerState state, Change change)
{
    change(state);
    return state;
}

} // namespace

void TestTonePlayback::outputThatCannotBeHeard_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<ServerState>("atPress");
    QTest::addColumn<ServerState>("duringTone");
    QTest::addColumn<QString>("reported"); // the start of the one message; empty: no message
    QTest::addColumn<int>("line");

    const ServerState at16 = answering(16000);
    const ServerState at32 = answering(32000);
    const ServerState at48 = answering(48000);
    QTest::newRow("16 kHz sink, 8 kHz") << 1 << at16 << at16
                                        << "The sound output plays at 16000 Hz, too low a rate for "
                                           "the 8 kHz tone: choose another output or profile."
                                        << 118;
    QTest::newRow("16 kHz sink, 22 kHz") << 11 << at16 << at16
                                         << "The sound output plays at 16000 Hz, too low a rate "
                                            "for the 22 kHz tone"
                                         << 118;
    QTest::newRow("32 kHz sink, 15 kHz") << 5 << at32 << at32 << QString() << 0;
    QTest::newRow("32 kHz sink, 17 kHz") << 6 << at32 << at32
                                         << "The sound output plays at 32000 Hz, too low a rate "
                                            "for the 17 kHz tone"
                                         << 118;
    QTest::newRow("48 kHz sink, 22 kHz") << 11 << at48 << at48 << QString() << 0;

    const auto sinkMuted = changed(at48, [](ServerState& s) { s.stream->sink.muted = true; });
    const auto streamMuted = changed(at48, [](ServerState& s) { s.stream->muted = true; });
    const auto silent = changed(at48, [](ServerState& s) { s.stream->sink.silent = true; });
    QTest::newRow("sink muted") << 3 << sinkMuted << sinkMuted << "The sound output is muted."
                                << 118;
    QTest::newRow("our stream muted")
        << 3 << streamMuted << streamMuted << "The sound of this program is muted" << 118;
    QTest::newRow("volume at zero")
        << 3 << silent << silent << "The sound output's volume is at zero" << 118;
    const ServerState noAnswer;
    QTest::newRow("no answer") << 3 << noAnswer << noAnswer << "The sound server does not answer"
                               << 118;
    const auto noSink =
        changed(ServerState(), [](ServerState& s) { s.answer = ServerState::NoDefaultSink; });
    QTest::newRow("no default sink")
        << 3 << noSink << noSink << "The sound server has no output to play to" << 118;

    QTest::newRow("muted during the tone")
        << 2 << at48 << sinkMuted << "The sound output was muted during the tone." << 122;
    QTest::newRow("moved to a 16 kHz sink")
        << 2 << at48 << changed(at48, [](ServerState& s) { s.stream->sink.rate = 16000; })
        << "The sound output changed to 16000 Hz during the tone, too low a rate for the 10 kHz "
           "tone"
        << 122;
    QTest::newRow("server lost")
        << 2 << at48
        << changed(at48,
                   [](ServerState& s) {
                       s.answer = ServerState::Lost;
                       s.reason = QStringLiteral("Connection terminated");
                   })
        << "The sound output was lost: the sound server stopped answering (Connection terminated)"
        << 122;
}

// The server's answers come from a stand-in; the sink needs no sound card. A press whose tone
// the output cannot let anyone hear says why in one message, then cleans up as after any tone.
void TestTonePlayback::outputThatCannotBeHeard()
{
    QFETCH(int, row);
    QFETCH(ServerState, atPress);
    QFETCH(ServerState, duringTone);
    QFETCH(QString, reported);
    QFETCH(int, line);
    bool playing = false;
    SoundServer::setStandInForTesting([&] { return playing ? duringTone : atPress; });
    whilePlaying([&] { playing = true; });
    plantShortTone(row);
    press(row);
    if (reported.isEmpty()) {
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('\n'))));
    } else {
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages.first().startsWith(reported), qPrintable(m_messages.first()));
        QCOMPARE(reportedLines(), QList<int>({line}));
    }
    QCOMPARE(m_form->Music()->State(), 0);
    QCOMPARE(m_form->pushButton(row)->Caption(), ToneCatalogue::row(row).buttonCaption);
    QVERIFY(!m_form->controller().Playing());
    QVERIFY(!QFileInfo::exists(tonePath(row)));
}

// A sink that fails during the tone: the wait's position read says so, once.
void TestTonePlayback::outputLostMidToneIsReportedByTheWait()
{
    const QByteArray sink = qgetenv("PITCHWARDEN_AUDIO_SINK");
    qputenv("PITCHWARDEN_AUDIO_SINK", "identity error-after=5 ! fakesink sync=true");
    plantShortTone(4);
    press(4);
    qputenv("PITCHWARDEN_AUDIO_SINK", sink);
    QCOMPARE(m_messages.size(), 1);
    QVERIFY2(m_messages.first().startsWith(QStringLiteral("The sound output was lost: ")),
             qPrintable(m_messages.first()));
    QCOMPARE(reportedLines(), QList<int>({122}));
    QCOMPARE(m_form->pushButton(4)->Caption(), QStringLiteral("Play 14 kHz"));
    QVERIFY(!QFileInfo::exists(tonePath(4)));
}

void TestTonePlayback::pressWhileTheToneOpens_data()
{
    QTest::addColumn<int>("secondRow");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<bool>("played");
    QTest::newRow("the same button stops it") << 1 << QStringList() << false;
    QTest::newRow("another button is refused")
        << 7 << QStringList({"Please stop playing first.|0|Pitchwarden Ear"}) << true;
}

// The sound server takes its time to answer, and the window's events run meanwhile: a second
// press takes effect then as it would while the tone plays. Stopped while it opens, the real
// recording (15 s) is never played.
void TestTonePlayback::pressWhileTheToneOpens()
{
    QFETCH(int, secondRow);
    QFETCH(QStringList, messages);
    QFETCH(bool, played);
    bool answered = false;
    SoundServer::setStandInForTesting([&] { return answered ? answering(44100) : ServerState(); });
    int stateWhileOpening = -1;
    QTimer::singleShot(100, m_form.get(), [&] {
        stateWhileOpening = m_form->Music()->State();
        press(secondRow);
        answered = true;
    });
    bool heard = false;
    whilePlaying([&] { heard = true; });
    if (played)
        plantShortTone(1);
    QElapsedTimer pressed;
    pressed.start();
    press(1);
    QCOMPARE(stateWhileOpening, 0);
    QCOMPARE(m_messages, messages);
    QCOMPARE(heard, played);
    QVERIFY2(pressed.elapsed() < 5000, qPrintable(QString::number(pressed.elapsed())));
    QCOMPARE(m_form->pushButton(1)->Caption(), QStringLiteral("Play 8 kHz"));
    QCOMPARE(m_form->pushButton(7)->Caption(), QStringLiteral("Play 18 kHz"));
    QVERIFY(!m_form->controller().Playing());
    QVERIFY(!QFileInfo::exists(tonePath(1)));
}

// The wait wakes for what can end or change the tone, not on a clock: a short tone played to its
// end, then the real recording (15 s) stopped by a click half a second in, each with the times
// the event loop woke from its sleep counted (a wait that looked every 10 ms woke over 30 times
// for the short tone alone). A file that cannot be played ends the wait at once: nothing would
// wake a wait that slept first.
void TestTonePlayback::theWaitSleepsUntilSomethingHappens()
{
    QFile garbage(tonePath(5));
    QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write(QByteArray(4096, 'x')) == 4096);
    garbage.close();
    QElapsedTimer unplayable;
    unplayable.start();
    press(5);
    QVERIFY2(unplayable.elapsed() < 5000, qPrintable(QString::number(unplayable.elapsed())));

    int wakes = 0;
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, this,
            [&wakes] { ++wakes; });
    plantShortTone(5);
    press(5);
    QVERIFY(!m_form->controller().Playing());
    QVERIFY2(wakes < 15, qPrintable(QStringLiteral("%1 wakes for a 0.3 s tone").arg(wakes)));

    wakes = 0;
    QElapsedTimer clicked;
    QTimer::singleShot(500, m_form.get(), [&] {
        clicked.start();
        press(5);
    });
    press(5);
    QVERIFY2(clicked.isValid() && clicked.elapsed() < 1000,
             qPrintable(QString::number(clicked.elapsed())));
    QVERIFY2(wakes < 15, qPrintable(QStringLiteral("%1 wakes in half a second").arg(wakes)));
    QCOMPARE(m_form->pushButton(5)->Caption(), QStringLiteral("Play 15 kHz"));
    QVERIFY(!QFileInfo::exists(tonePath(5)));
    QVERIFY(m_messages.isEmpty());
}

QTEST_MAIN(TestTonePlayback)
#include "tst_toneplayback.moc"
