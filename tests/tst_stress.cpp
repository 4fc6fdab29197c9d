#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/form1.h"
#include "app/homepage.h"
#include "support/installfolder.h"
#include "support/messagebox.h"
#include "tones/tonecatalogue.h"
#include "tones/toneplayback.h"

// Thousands of random presses, mouse moves and key presses with the real player: one tone at a
// time, the flag in step with the captions, and nothing left behind.
class TestStress : public QObject
{
    Q_OBJECT

private slots:
    void randomUse();

private:
    void act();
    void scheduleNext();
    void checkInvariants();

    std::unique_ptr<Form1> m_form;
    QRandomGenerator m_random{20261208};
    int m_actions = 0;
    int m_violations = 0;
    int m_refusals = 0;
    static constexpr int Actions = 3000;
};

void TestStress::checkInvariants()
{
    int stopCaptions = 0;
    for (int row = 1; row <= ToneCatalogue::RowCount; ++row)
        stopCaptions += m_form->pushButton(row)->Caption() == QStringLiteral("Stop Playing");
    if (stopCaptions > 1 || m_form->controller().Playing() != (stopCaptions == 1))
        ++m_violations;
}

void TestStress::scheduleNext()
{
    if (m_actions >= Actions)
        return;
    QTimer::singleShot(1, this, [this] {
        scheduleNext();
        act();
    });
}

void TestStress::act()
{
    ++m_actions;
    QWidget* target = m_form->pushButton(m_random.bounded(1, ToneCatalogue::RowCount + 1));
    switch (m_random.bounded(4)) {
    case 0:
        QTest::mouseClick(target, Qt::LeftButton);
        break;
    case 1:
        QTest::mouseMove(target, QPoint(m_random.bounded(1, 480), m_random.bounded(1, 26)));
        break;
    case 2:
        QTest::mouseMove(m_form->frame(m_random.bounded(1, 12)), QPoint(4, 40));
        break;
    default:
        QTest::keyClick(m_form.get(), Qt::Key(Qt::Key_A + m_random.bounded(26)));
        break;
    }
    checkInvariants();
}

void TestStress::randomUse()
{
    QTemporaryDir temp;
    qputenv("TEMP", QFile::encodeName(temp.path()));
    setInstallationFolderForTesting(temp.path());
    HomePageLottery::setRandomSource([] { return 0.5; });
    setMessageBoxPresenter([this](const QString& text, int, const QString&) {
        m_refusals += text == QStringLiteral("Please stop playing first.");
        checkInvariants();
    });
    m_form = std::make_unique<Form1>();
    m_form->Form_Load();
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));

    // Each action schedules the next one first, so that actions also arrive inside the waits of
    // the tone procedures they start (a repeating timer does not fire inside its own handler).
    scheduleNext();
    QTRY_VERIFY_WITH_TIMEOUT(m_actions >= Actions, 240000);
    // Stop whatever still plays.
    for (int row = 1; row <= ToneCatalogue::RowCount; ++row)
        if (m_form->pushButton(row)->Caption() == QStringLiteral("Stop Playing"))
            QTest::mouseClick(m_form->pushButton(row), Qt::LeftButton);
    QTRY_VERIFY(!m_form->controller().Playing());

    QCOMPARE(m_violations, 0);
    QVERIFY(m_refusals > 0);
    for (int row = 1; row <= ToneCatalogue::RowCount; ++row)
        QCOMPARE(m_form->pushButton(row)->Caption(), ToneCatalogue::row(row).buttonCaption);
    QVERIFY(QDir(temp.path()).entryList(QDir::Files).isEmpty());
    qInfo("%d actions, %d refusals", m_actions, m_refusals);
    m_form.reset();
    setMessageBoxPresenter({});
}

QTEST_MAIN(TestStress)
#include "tst_stress.moc"
