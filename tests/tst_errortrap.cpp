#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

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
    void boxBelongsToTheProgramsWindow();

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

// The real box: once the program's window is on the screen, a box is its child, modal and centred
// on it, also when another window has the focus; before, it has no parent.
void TestErrorTrap::boxBelongsToTheProgramsWindow()
{
    setMessageBoxPresenter({});
    QWidget window;
    window.setGeometry(100, 80, 536, 694);
    setMessageBoxOwner(&window);
    struct Seen
    {
        QWidget* parent;
        Qt::WindowModality modality;
        QPoint centre;
    };
    std::vector<Seen> seen;
    const auto showAndClose = [&seen](const QString& text) {
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&seen] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            seen.push_back({box->parentWidget(), box->windowModality(), box->geometry().center()});
            box->accept();
        });
        answer.start(10);
        MsgBox(text, Exclamation, QStringLiteral("Application Error"));
    };

    showAndClose(QStringLiteral("before the window is shown"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget inFront;
    inFront.setGeometry(700, 80, 200, 100);
    inFront.show();
    inFront.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &inFront);
    showAndClose(QStringLiteral("another window in front"));
    setMessageBoxOwner(nullptr);

    QCOMPARE(seen.size(), size_t(2));
    QCOMPARE(seen[0].parent, nullptr);
    QCOMPARE(seen[1].parent, &window);
    QCOMPARE(seen[1].modality, Qt::ApplicationModal);
    QVERIFY2(
        (seen[1].centre - window.geometry().center()).manhattanLength() <= 2,
        qPrintable(
            QStringLiteral("box centre %1,%2").arg(seen[1].centre.x()).arg(seen[1].centre.y())));
}

QTEST_MAIN(TestErrorTrap)
#include "tst_errortrap.moc"
