#include <QTest>

#include "support/errortrap.h"
#include "support/failure.h"
#include "support/messagebox.h"

// The error trap: its message text, and how a procedure goes on after a failure.
class TestErrorTrap : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { setMessageBoxPresenter({}); }

    void messageIsBuiltExactly();
    void boxIsAWarningTitledApplicationError();
    void failingStatementResumesWithTheNext();
    void failingConditionGoesOnAsTheProcedureSays();
    void failingLoopTestEndsTheLoop();
    void eachTrapReportsItsOwnLocation();
    void anyExceptionIsReported();
    void displayedTextBreaksLinesAtBareReturns();

private:
    struct Shown
    {
        QString text;
        int style;
        QString title;
    };
    std::vector<Shown> m_shown;
};

void TestErrorTrap::init()
{
    m_shown.clear();
    setMessageBoxPresenter([this](const QString& text, int style, const QString& title) {
        m_shown.push_back({text, style, title});
    });
}

void TestErrorTrap::messageIsBuiltExactly()
{
    QCOMPARE(ErrorTrap::locationFor(QStringLiteral("Form_Load")),
             QStringLiteral("in Pitchwarden2021/08/31.Form1.Form_Load "));
    const QString expected =
        QStringLiteral("File not found\r\nin Pitchwarden2021/08/31.Form1.Form_Load at line 108\r\r"
                       "Please email screenshot of this message to support@pitchwarden.example");
    QCOMPARE(ErrorTrap::message(QStringLiteral("File not found"),
                                ErrorTrap::locationFor(QStringLiteral("Form_Load")), 108),
             expected);
}

void TestErrorTrap::boxIsAWarningTitledApplicationError()
{
    ErrorTrap trap(QStringLiteral("PushButton5_Click"));
    trap.run(100, [] { throw Failure(QStringLiteral("Bad thing")); });
    QCOMPARE(m_shown.size(), size_t(1));
    QCOMPARE(m_shown[0].style, 48);
    QCOMPARE(m_shown[0].title, QStringLiteral("Application Error"));
    QVERIFY(m_shown[0].text.startsWith(QStringLiteral(
        "Bad thing\r\nin Pitchwarden2021/08/31.Form1.PushButton5_Click at line 100\r\r")));
}

void TestErrorTrap::failingStatementResumesWithTheNext()
{
    ErrorTrap trap(QStringLiteral("Form_Load"));
    QStringList done;
    trap.run(100, [&] { done << "100"; });
    trap.run(104, [&] {
        done << "104a";
        throw Failure(QStringLiteral("first"));
    });
    trap.run(106, [&] { done << "106"; });
    trap.run(108, [] { throw Failure(QStringLiteral("second")); });
    trap.run(110, [&] { done << "110"; });
    QCOMPARE(done, QStringList({"100", "104a", "106", "110"}));
    QCOMPARE(m_shown.size(), size_t(2));
    QVERIFY(m_shown[0].text.startsWith(QStringLiteral("first\r\n")));
    QVERIFY(m_shown[0].text.contains(QStringLiteral("at line 104\r")));
    QVERIFY(m_shown[1].text.startsWith(QStringLiteral("second\r\n")));
    QVERIFY(m_shown[1].text.contains(QStringLiteral("at line 108\r")));
}

void TestErrorTrap::failingConditionGoesOnAsTheProcedureSays()
{
    ErrorTrap trap(QStringLiteral("Form_Load"));
    auto failing = []() -> bool { throw Failure(QStringLiteral("cannot tell")); };
    QVERIFY(trap.test(106, failing, true));   // goes on inside the If
    QVERIFY(!trap.test(100, failing, false)); // goes on as if it did not hold
    QVERIFY(trap.test(
        102, [] { return true; }, false));
    QCOMPARE(m_shown.size(), size_t(2));
    QVERIFY(m_shown[0].text.contains(QStringLiteral("at line 106\r")));
}

void TestErrorTrap::failingLoopTestEndsTheLoop()
{
    ErrorTrap trap(QStringLiteral("PushButton1_Click"));
    int passes = 0;
    do {
        ++passes;
    } while (trap.test(
        124,
        [&]() -> bool {
            if (passes == 3)
                throw Failure(QStringLiteral("read failed"));
            return true;
        },
        false));
    QCOMPARE(passes, 3);
    QCOMPARE(m_shown.size(), size_t(1));
    QCOMPARE(trap.line(), 124);
}

void TestErrorTrap::eachTrapReportsItsOwnLocation()
{
    ErrorTrap outer(QStringLiteral("PushButton1_Click"));
    outer.run(120, [] {
        ErrorTrap nested(QStringLiteral("PushButton7_Click"));
        nested.run(136, [] { throw Failure(QStringLiteral("inner")); });
    });
    QCOMPARE(m_shown.size(), size_t(1));
    QVERIFY(m_shown[0].text.contains(QStringLiteral("PushButton7_Click at line 136")));
}

void TestErrorTrap::anyExceptionIsReported()
{
    ErrorTrap trap(QStringLiteral("Form_QueryUnload"));
    trap.run(100, [] { throw std::runtime_error("runtime"); });
    trap.run(102, [] { throw 42; });
    QCOMPARE(m_shown.size(), size_t(2));
    QVERIFY(m_shown[0].text.startsWith(QStringLiteral("runtime\r\n")));
    QVERIFY(m_shown[1].text.contains(QStringLiteral("Form_QueryUnload at line 102")));
}

void TestErrorTrap::displayedTextBreaksLinesAtBareReturns()
{
    const QString text = ErrorTrap::message(QStringLiteral("x"), QStringLiteral("in y "), 100);
    QCOMPARE(displayedMessageText(text),
             QStringLiteral("x\nin y at line 100\n\nPlease email screenshot of this message to "
                            "support@pitchwarden.example"));
}

QTEST_MAIN(TestErrorTrap)
#include "tst_errortrap.moc"
