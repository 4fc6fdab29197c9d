#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include "app/form1.h"
#include "app/readabletext.h"
#include "tones/tonecatalogue.h"

// The main window's layout, caption colours, keyboard order, pointer feedback and what a
// screen reader hears.
class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_systemPalette = QApplication::palette(); }
    void init();
    void cleanup();

    void clientAreaIsFixed();
    void hiddenTextBoxLiesBelowTheClientArea();
    void framesAndButtons_data();
    void framesAndButtons();
    void fonts();
    void tabGoesDownTheColumnAndBackToTheTextBox();
    void typingAtStartChangesNothingVisible();
    void pointerFollowsTheMouse();
    void hourglassSticks();
    void customCursorFallsBackToAHand();
    void contrastRule_data();
    void contrastRule();
    void captionsReadInEveryScheme_data();
    void captionsReadInEveryScheme();
    void defaultLookIsUnchanged();
    void screenReadersHearWhereTheyAre();
    void toneButtonTakesEveryPressAndLeavesItsStateToTheProgram();

private:
    void moveMouseTo(QWidget* widget, QPoint local);
    Qt::CursorShape shapeOver(QWidget* widget) const { return widget->cursor().shape(); }

    std::unique_ptr<Form1> m_form;
    QPalette m_systemPalette;
};

void TestForm1::init()
{
    m_form = std::make_unique<Form1>();
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void TestForm1::cleanup()
{
    m_form.reset();
    QApplication::setPalette(m_systemPalette);
    ReadableText::setEnabled(true);
}

void TestForm1::moveMouseTo(QWidget* widget, QPoint local)
{
    QTest::mouseMove(widget, local);
}

void TestForm1::clientAreaIsFixed()
{
    QCOMPARE(m_form->size(), QSize(536, 694));
    QCOMPARE(m_form->minimumSize(), m_form->maximumSize());
    QCOMPARE(m_form->BackColor(), QColor(Qt::white));
    // The frames leave 8 pixels to the client edges on every side.
    QCOMPARE(m_form->frame(11)->geometry().bottom() + 1, 694 - 8);
    QCOMPARE(m_form->frame(1)->geometry().right() + 1, 536 - 8);
    // A title bar that offers to maximize it anyway (Qt's own, on Wayland) changes nothing.
    for (const Qt::WindowState state : {Qt::WindowMaximized, Qt::WindowFullScreen}) {
        m_form->setWindowState(state);
        QCOMPARE(m_form->windowState(), Qt::WindowNoState);
        QCOMPARE(m_form->size(), QSize(536, 694));
    }
}

void TestForm1::hiddenTextBoxLiesBelowTheClientArea()
{
    QCOMPARE(m_form->Text1()->geometry(), QRect(16, 702, 137, 59));
    QCOMPARE(m_form->Text1()->text(), QStringLiteral("Text1"));
    QVERIFY(!m_form->rect().intersects(m_form->Text1()->geometry()));
    QCOMPARE(QApplication::focusWidget(), m_form->Text1());
}

void TestForm1::framesAndButtons_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("frameTop");
    QTest::addColumn<int>("buttonTopOnWindow");
    QTest::addColumn<QString>("frameCaption");
    QTest::addColumn<QString>("buttonCaption");
    const int frameTops[] = {8, 70, 132, 194, 256, 318, 380, 442, 504, 566, 628};
    const int buttonTops[] = {28, 90, 152, 214, 276, 338, 400, 462, 524, 586, 648};
    const char* captions[] = {
        "8 kHz Frequency (Everyone can hear)",        "10 kHz Frequency (60 and younger can hear)",
        "12 kHz Frequency (50 and younger can hear)", "14 kHz Frequency (45 and younger can hear)",
        "15 kHz Frequency (39 and younger can hear)", "17 kHz Frequency (24 and younger can hear)",
        "18 kHz Frequency (24 and younger can hear)", "19 kHz Frequency (24 and younger can hear)",
        "20 kHz Frequency (24 and younger can hear)", "21 kHz Frequency (20 and younger can hear)",
        "22 kHz Frequency (18 and younger can hear)"};
    const int kHz[] = {8, 10, 12, 14, 15, 17, 18, 19, 20, 21, 22};
    for (int i = 0; i < 11; ++i) {
        QTest::addRow("row %d", i + 1)
            << i + 1 << frameTops[i] << buttonTops[i] << QString::fromLatin1(captions[i])
            << QStringLiteral("Play %1 kHz").arg(kHz[i]);
    }
}

void TestForm1::framesAndButtons()
{
    QFETCH(int, row);
    QFETCH(int, frameTop);
    QFETCH(int, buttonTopOnWindow);
    QFETCH(QString, frameCaption);
    QFETCH(QString, buttonCaption);

    const Frame* frame = m_form->frame(row);
    QCOMPARE(frame->geometry(), QRect(8, frameTop, 520, 58));
    QCOMPARE(frame->title(), frameCaption);
    QCOMPARE(frame->BackColor(), QColor(Qt::white));
    QCOMPARE(frame->focusPolicy(), Qt::NoFocus);

    PushButton* button = m_form->pushButton(row);
    QCOMPARE(button->parentWidget(), frame);
    QCOMPARE(button->geometry(), QRect(16, 20, 488, 27));
    QCOMPARE(button->mapTo(m_form.get(), QPoint(0, 0)).y(), buttonTopOnWindow);
    QCOMPARE(button->Caption(), buttonCaption);
    QCOMPARE(button->Tag(), QString::number(row));
    QVERIFY(button->isEnabled());
    QCOMPARE(button->palette().color(QPalette::Button), QColor(Qt::white));

    button->setCaption(QStringLiteral("Stop Playing"));
    QCOMPARE(button->Caption(), QStringLiteral("Stop Playing"));
    QCOMPARE(ToneCatalogue::row(row).buttonCaption, buttonCaption);
}

void TestForm1::fonts()
{
    const QFont window = m_form->font();
    QCOMPARE(window.family(), QStringLiteral("Arial"));
    QCOMPARE(window.pointSizeF(), 9.0);
    QVERIFY(window.bold() && !window.italic() && !window.underline() && !window.strikeOut());
    // "Arial" must resolve to a metric-compatible face, or the captions would not fit.
    QVERIFY2(QFontInfo(window).family().contains(QStringLiteral("Liberation Sans")) ||
                 QFontInfo(window).family() == QStringLiteral("Arial"),
             qPrintable(QFontInfo(window).family()));
    for (int row = 1; row <= 11; ++row) {
        QCOMPARE(m_form->frame(row)->font(), window);
        const QFont button = m_form->pushButton(row)->font();
        QCOMPARE(button.family(), QStringLiteral("Arial"));
        QCOMPARE(button.pointSizeF(), 11.25);
        QVERIFY(button.bold() && !button.italic());
        // The caption fits its button and the frame caption its frame.
        const QFontMetrics buttonMetrics(button);
        QVERIFY(buttonMetrics.horizontalAdvance(QStringLiteral("Stop Playing")) < 488);
        QVERIFY(QFontMetrics(window).horizontalAdvance(m_form->frame(row)->title()) < 500);
    }
}

void TestForm1::tabGoesDownTheColumnAndBackToTheTextBox()
{
    QCOMPARE(QApplication::focusWidget(), m_form->Text1());
    for (int row = 1; row <= 11; ++row) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), m_form->pushButton(row));
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m_form->Text1());
}

void TestForm1::typingAtStartChangesNothingVisible()
{
    const QImage before = m_form->grab().toImage();
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("hello "));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(m_form->grab().toImage(), before);
    for (int row = 1; row <= 11; ++row)
        QCOMPARE(m_form->pushButton(row)->Caption(), ToneCatalogue::row(row).buttonCaption);
}

void TestForm1::pointerFollowsTheMouse()
{
    QCOMPARE(m_form->MousePointer(), 0);
    for (int row : {1, 6, 11}) {
        moveMouseTo(m_form.get(), QPoint(3, m_form->frame(row)->y() - 2)); // background
        QCOMPARE(m_form->MousePointer(), 0);
        moveMouseTo(m_form->pushButton(row), QPoint(100, 10));
        QCOMPARE(m_form->MousePointer(), 99);
        QCOMPARE(shapeOver(m_form->pushButton(row)), Qt::PointingHandCursor);
        QCOMPARE(shapeOver(m_form->frame(row)), Qt::PointingHandCursor);
        moveMouseTo(m_form->frame(row), QPoint(5, 40)); // the frame, beside its button
        QCOMPARE(m_form->MousePointer(), 0);
        QCOMPARE(shapeOver(m_form->pushButton(row)), Qt::ArrowCursor);
        QCOMPARE(shapeOver(m_form.get()), Qt::ArrowCursor);
    }
}

void TestForm1::hourglassSticks()
{
    moveMouseTo(m_form->pushButton(3), QPoint(50, 10));
    QCOMPARE(m_form->MousePointer(), 99);
    m_form->setMousePointer(Form1::Hourglass);
    moveMouseTo(m_form->frame(3), QPoint(5, 40));
    moveMouseTo(m_form.get(), QPoint(3, 3));
    moveMouseTo(m_form->pushButton(4), QPoint(50, 10));
    QCOMPARE(m_form->MousePointer(), 11);
    for (QWidget* widget :
         {static_cast<QWidget*>(m_form.get()), static_cast<QWidget*>(m_form->frame(4)),
          static_cast<QWidget*>(m_form->pushButton(4))})
        QCOMPARE(shapeOver(widget), Qt::WaitCursor);
}

void TestForm1::customCursorFallsBackToAHand()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::red);
    m_form->setMouseIcon(QCursor(pixmap, 5, 1));
    moveMouseTo(m_form->pushButton(2), QPoint(50, 10));
    QCOMPARE(shapeOver(m_form->pushButton(2)), Qt::BitmapCursor);
    QCOMPARE(m_form->pushButton(2)->cursor().hotSpot(), QPoint(5, 1));
}

namespace {

// The pixel of an area that stands out most from its ground: the caption's own colour.
QColor strongestAgainst(const QImage& image, const QRect& area, const QColor& ground)
{
    QColor strongest = ground;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (ReadableText::contrastRatio(pixel, ground) >
                ReadableText::contrastRatio(strongest, ground))
                strongest = pixel;
        }
    }
    return strongest;
}

} // namespace

void TestForm1::contrastRule_data()
{
    QTest::addColumn<QColor>("ground");
    QTest::addColumn<QColor>("text");
    QTest::addColumn<QColor>("shown");
    const QColor white(Qt::white);
    const QColor black(Qt::black);
    QTest::addRow("black on white") << white << black << black;
    QTest::addRow("4.54:1 on white is kept") << white << QColor(0x767676) << QColor(0x767676);
    QTest::addRow("4.48:1 on white turns black") << white << QColor(0x777777) << black;
    QTest::addRow("white on white turns black") << white << white << black;
    QTest::addRow("black on a dark ground turns white") << QColor(0x222020) << black << white;
}

void TestForm1::contrastRule()
{
    QFETCH(QColor, ground);
    QFETCH(QColor, text);
    QFETCH(QColor, shown);
    QCOMPARE(ReadableText::contrastRatio(Qt::black, Qt::white), 21.0);
    QCOMPARE(ReadableText::on(ground, text), shown);
}

void TestForm1::captionsReadInEveryScheme_data()
{
    QTest::addColumn<QColor>("systemText");
    QTest::addColumn<QColor>("expectedText");
    // The playing button is drawn sunken, on a shaded ground.
    QTest::addColumn<QColor>("expectedOnPlayingButton");
    const QColor black(Qt::black);
    // qt6ct's "darker" scheme: white text, near-black window, dark grey buttons.
    QTest::addRow("dark scheme, white text") << QColor(0xffffff) << black << black;
    QTest::addRow("grey text, 3.7:1 on white") << QColor(0x858585) << black << black;
    QTest::addRow("grey text, 4.9:1 on white, 4.0:1 on a playing button")
        << QColor(0x707070) << QColor(0x707070) << black;
    QTest::addRow("dark blue text reads and stays")
        << QColor(0x1c3a8c) << QColor(0x1c3a8c) << QColor(0x1c3a8c);
}

// The scheme changes while the window is open, as when the user switches the desktop's scheme.
void TestForm1::captionsReadInEveryScheme()
{
    QFETCH(QColor, systemText);
    QFETCH(QColor, expectedText);
    QFETCH(QColor, expectedOnPlayingButton);
    constexpr int PlayingRow = 5;
    m_form->pushButton(PlayingRow)->setCaption(QStringLiteral("Stop Playing"));
    QPalette scheme(systemText, QColor(0x424245), QColor(0x979797), QColor(0x302f2e),
                    QColor(0x4a4947), systemText, systemText, QColor(0x3d3d3d), QColor(0x222020));
    scheme.setColor(QPalette::ButtonText, systemText);
    QApplication::setPalette(scheme);
    QTRY_COMPARE(m_form->pushButton(11)->palette().color(QPalette::ButtonText), systemText);
    const QImage shot = m_form->grab().toImage();

    const QFontMetrics frameMetrics(m_form->font());
    for (int row = 1; row <= 11; ++row) {
        const Frame* frame = m_form->frame(row);
        const QRect caption(frame->x() + 6, frame->y(),
                            frameMetrics.horizontalAdvance(frame->title()) + 6,
                            frameMetrics.height());
        const QColor frameGround = shot.pixelColor(caption.topLeft() + QPoint(1, 1));
        const QRect button =
            m_form->pushButton(row)->geometry().translated(frame->pos()).adjusted(4, 4, -4, -4);
        const QColor buttonGround = shot.pixelColor(button.left() + 2, button.center().y());
        const QColor buttonText = row == PlayingRow ? expectedOnPlayingButton : expectedText;
        for (const auto& [area, ground, expected] :
             {std::tuple{caption, frameGround, expectedText}, {button, buttonGround, buttonText}}) {
            const QColor text = strongestAgainst(shot, area, ground);
            const double contrast = ReadableText::contrastRatio(text, ground);
            QVERIFY2(contrast >= 4.5, qPrintable(QStringLiteral("row %1: %2 on %3, %4:1")
                                                     .arg(row)
                                                     .arg(text.name(), ground.name())
                                                     .arg(contrast)));
            QVERIFY2(ReadableText::contrastRatio(text, expected) < 1.2,
                     qPrintable(QStringLiteral("row %1: %2").arg(row).arg(text.name())));
        }
    }
}

void TestForm1::defaultLookIsUnchanged()
{
    const QImage corrected = m_form->grab().toImage();
    ReadableText::setEnabled(false);
    QCOMPARE(m_form->grab().toImage(), corrected);
}

void TestForm1::screenReadersHearWhereTheyAre()
{
    QCOMPARE(QAccessible::queryAccessibleInterface(m_form.get())->role(), QAccessible::Window);
    const QAccessibleInterface* text1 = QAccessible::queryAccessibleInterface(m_form->Text1());
    QCOMPARE(text1->text(QAccessible::Name),
             QStringLiteral("Pitchwarden Ear Check, eleven test tones"));
    QVERIFY(text1->text(QAccessible::Description).contains(QStringLiteral("Tab")));

    for (int row : {1, 5, 11}) {
        PushButton* button = m_form->pushButton(row);
        const QString play = ToneCatalogue::row(row).buttonCaption;
        const QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(button);
        QCOMPARE(spoken->text(QAccessible::Name), play);
        button->setCaption(QStringLiteral("Stop Playing"));
        QCOMPARE(button->text(), QStringLiteral("Stop Playing"));
        QCOMPARE(spoken->text(QAccessible::Name),
                 QStringLiteral("Stop playing %1 kHz").arg(ToneCatalogue::row(row).frequencyKHz));
        QVERIFY(spoken->state().checked);
        button->setCaption(play);
        QCOMPARE(spoken->text(QAccessible::Name), play);
        QVERIFY(!spoken->state().checked);
        QCOMPARE(spoken->role(), QAccessible::CheckBox);
    }
}

// The click procedure decides what a press does, so a press alone never turns a button on; the
// "on" caption does. Return and keypad Enter press it as Space does, once per key press, and so
// does a screen reader's action.
void TestForm1::toneButtonTakesEveryPressAndLeavesItsStateToTheProgram()
{
    PushButton button;
    button.setCaption(QStringLiteral("Play 8 kHz"));
    button.setOnCaption(QStringLiteral("Stop Playing"), QStringLiteral("Stop playing 8 kHz"));
    button.show();
    QSignalSpy clicks(&button, &QAbstractButton::clicked);
    QTest::keyClick(&button, Qt::Key_Space);
    QTest::keyClick(&button, Qt::Key_Return);
    QTest::keyClick(&button, Qt::Key_Enter, Qt::KeypadModifier);
    QKeyEvent repeated(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(&button, &repeated);
    QTest::mouseClick(&button, Qt::LeftButton);
    QCOMPARE(clicks.count(), 4);
    QVERIFY(!button.isChecked());

    button.setCaption(QStringLiteral("Stop Playing"));
    QVERIFY(button.isChecked());
    QTest::mouseClick(&button, Qt::LeftButton);
    QVERIFY(button.isChecked());
    button.setCaption(QStringLiteral("Play 8 kHz"));
    QVERIFY(!button.isChecked());

    QAccessibleActionInterface* actions =
        QAccessible::queryAccessibleInterface(&button)->actionInterface();
    QCOMPARE(actions->actionNames().first(), QAccessibleActionInterface::toggleAction());
    actions->doAction(QAccessibleActionInterface::toggleAction());
    QTRY_COMPARE(clicks.count(), 6);
    QVERIFY(!button.isChecked());
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
