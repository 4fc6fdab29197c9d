#include "app/form1.h"

#include <cstdlib>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QTimer>

#include "app/cursorfile.h"
#include "app/homepage.h"
#include "app/twips.h"
#include "media/clsmusic.h"
#include "support/appicon.h"
#include "support/apptitle.h"
#include "support/doevents.h"
#include "support/errortrap.h"
#include "support/failure.h"
#include "support/filehelpers.h"
#include "support/installfolder.h"
#include "support/messagebox.h"
#include "support/skinframework.h"
#include "tones/tonecatalogue.h"
#include "tones/toneplayback.h"

namespace {

// Geometry of the window and its controls, in twips.
constexpr int ClientWidth = 8040;
constexpr int ClientHeight = 10410;
constexpr QRect Text1Rect = twipsRect(240, 10530, 2055, 885);
constexpr int FrameLeft = 120;
constexpr int FrameTop = 120;
constexpr int FramePitch = 930; // frame height 870 plus 60 between frames
constexpr int FrameWidth = 7800;
constexpr int FrameHeight = 870;
constexpr QRect ButtonRectInFrame = twipsRect(240, 300, 7320, 405);

QFont arial(qreal points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(true);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

void paintBackground(QWidget* widget, QPalette::ColorRole role, const QColor& colour)
{
    QPalette pal = widget->palette();
    pal.setColor(role, colour);
    widget->setPalette(pal);
}

using Procedure = void (Form1::*)();

constexpr std::array<Procedure, ToneCatalogue::RowCount> FrameMouseMoves = {
    &Form1::Frame1_MouseMove,  &Form1::Frame2_MouseMove, &Form1::Frame3_MouseMove,
    &Form1::Frame4_MouseMove,  &Form1::Frame5_MouseMove, &Form1::Frame6_MouseMove,
    &Form1::Frame7_MouseMove,  &Form1::Frame8_MouseMove, &Form1::Frame9_MouseMove,
    &Form1::Frame10_MouseMove, &Form1::Frame11_MouseMove};

constexpr std::array<Procedure, ToneCatalogue::RowCount> ButtonMouseMoves = {
    &Form1::PushButton1_MouseMove,  &Form1::PushButton2_MouseMove, &Form1::PushButton3_MouseMove,
    &Form1::PushButton4_MouseMove,  &Form1::PushButton5_MouseMove, &Form1::PushButton6_MouseMove,
    &Form1::PushButton7_MouseMove,  &Form1::PushButton8_MouseMove, &Form1::PushButton9_MouseMove,
    &Form1::PushButton10_MouseMove, &Form1::PushButton11_MouseMove};

constexpr std::array<Procedure, ToneCatalogue::RowCount> ButtonClicks = {
    &Form1::PushButton1_Click,  &Form1::PushButton2_Click, &Form1::PushButton3_Click,
    &Form1::PushButton4_Click,  &Form1::PushButton5_Click, &Form1::PushButton6_Click,
    &Form1::PushButton7_Click,  &Form1::PushButton8_Click, &Form1::PushButton9_Click,
    &Form1::PushButton10_Click, &Form1::PushButton11_Click};

// Screen readers take a plain top-level widget for a filler; this one is the program's window.
// Qt's accessibility cache owns the interfaces a factory makes.
QAccessibleInterface* accessibleWindow(const QString& className, QObject* object)
{
    if (className != QLatin1String("Form1") || !object->isWidgetType())
        return nullptr;
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
}

std::function<void()>& programEnd()
{
    static std::function<void()> end;
    return end;
}

} // namespace

Form1::Form1(QWidget* parent) : QWidget(parent)
{
    [[maybe_unused]] static const bool accessibleAsWindow =
        (QAccessible::installFactory(accessibleWindow), true);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(twipsToPixels(ClientWidth), twipsToPixels(ClientHeight));
    setAutoFillBackground(true);
    setBackColor(Qt::white);
    setFont(arial(9));
    setMouseTracking(true);
    buildControls();
    m_controller = std::make_unique<TonePlaybackController>(*this);
    // The boxes of every procedure belong to this window, whatever has the focus.
    setMessageBoxOwner(this);
}

Form1::~Form1() = default;

void Form1::Form_Load()
{
    ErrorTrap trap(QStringLiteral("Form_Load"));
    trap.run(100, [&] { ApplySkin(*this, m_skinFramework1); });
    trap.run(104, [&] { setWindowTitle(ProductName()); });
    trap.run(104, [&] { setApplicationIcon(); });
    trap.run(104, [] { QGuiApplication::setDesktopFileName(DesktopEntryName); });
    trap.run(104, [] { SetApplicationTitle(); });
    const QString cursorFile = InstallationFolder() + QStringLiteral("/HAND-M.CUR");
    if (trap.test(
            106, [&] { return FileExists(cursorFile); }, true))
        trap.run(108, [&] { setMouseIcon(LoadCursorFile(cursorFile)); });
    trap.run(110, [] { HomePageLottery::draw(); });
    trap.run(128, [&] { m_music = std::make_unique<clsMusic>(); });
}

void Form1::Form_QueryUnload(qint16& /*cancel*/, qint16 /*unloadMode*/)
{
    ErrorTrap trap(QStringLiteral("Form_QueryUnload"));
    auto music = [this]() -> clsMusic& {
        if (!m_music)
            throw Failure(QStringLiteral("Object variable or With block variable not set"));
        return *m_music;
    };
    if (trap.test(
            100, [&] { return music().State() != 0; }, true))
        trap.run(100, [&] { music().StopPlaying(); });
    trap.run(102, [] { DoEvents(); });
    trap.run(104, [] { DoEvents(); });
}

void Form1::Form_Unload(qint16& /*cancel*/)
{
    DoEvents();
    DoEvents();
    if (programEnd()) {
        programEnd()();
        return;
    }
    // Ends at once: no destructor runs and no procedure waiting lower on the stack resumes.
    std::_Exit(0);
}

void Form1::setProgramEnd(std::function<void()> end)
{
    programEnd() = std::move(end);
}

void Form1::closeEvent(QCloseEvent* event)
{
    qint16 cancel = 0;
    Form_QueryUnload(cancel, 0);
    Form_Unload(cancel);
    event->accept();
}

void Form1::PushButton1_Click()
{
    m_controller->Click(1);
}
void Form1::PushButton2_Click()
{
    m_controller->Click(2);
}
void Form1::PushButton3_Click()
{
    m_controller->Click(3);
}
void Form1::PushButton4_Click()
{
    m_controller->Click(4);
}
void Form1::PushButton5_Click()
{
    m_controller->Click(5);
}
void Form1::PushButton6_Click()
{
    m_controller->Click(6);
}
void Form1::PushButton7_Click()
{
    m_controller->Click(7);
}
void Form1::PushButton8_Click()
{
    m_controller->Click(8);
}
void Form1::PushButton9_Click()
{
    m_controller->Click(9);
}
void Form1::PushButton10_Click()
{
    m_controller->Click(10);
}
void Form1::PushButton11_Click()
{
    m_controller->Click(11);
}

void Form1::buildControls()
{
    QWidget* previous = nullptr;
    for (const ToneEntry& tone : ToneCatalogue::rows()) {
        const auto index = static_cast<size_t>(tone.row - 1);
        auto* frame = new Frame(this);
        frame->setObjectName(QStringLiteral("Frame%1").arg(tone.row));
        frame->setGeometry(
            twipsRect(FrameLeft, FrameTop + FramePitch * (tone.row - 1), FrameWidth, FrameHeight));
        frame->setBackColor(Qt::white);
        frame->hide(); // shown once the window is on the screen: see putTextInPlace

        auto* button = new PushButton(frame);
        button->setObjectName(QStringLiteral("PushButton%1").arg(tone.row));
        button->setTag(QString::number(tone.row));
        button->setGeometry(ButtonRectInFrame);
        button->setFont(arial(11.25));
        paintBackground(button, QPalette::Button, Qt::white);
        button->setFocusPolicy(Qt::StrongFocus);
        if (previous)
            setTabOrder(previous, button);
        previous = button;

        connect(frame, &Frame::mouseMoved, this, FrameMouseMoves.at(index));
        connect(button, &PushButton::mouseMoved, this, ButtonMouseMoves.at(index));
        connect(button, &PushButton::clicked, this, ButtonClicks.at(index));
        m_frames.at(index) = frame;
        m_buttons.at(index) = button;
    }
}

// Two things take longer than anything else at start-up: the first text laid out sets up the
// fonts (fontconfig, Qt's font database), and the first caption given to a control starts Qt's
// bridge to the screen readers (a connection to the session bus). So the captions and the text
// box are put in place right after the window has gone to the screen, before anything is
// painted or takes the focus there.
void Form1::putTextInPlace()
{
    for (const ToneEntry& tone : ToneCatalogue::rows()) {
        frame(tone.row)->setTitle(tone.frameCaption);
        frame(tone.row)->show();
        PushButton* button = pushButton(tone.row);
        button->setCaption(tone.buttonCaption);
        // While its tone plays the button reads "Stop Playing" and is on (a pressed toggle).
        button->setOnCaption(QStringLiteral("Stop Playing"),
                             QStringLiteral("Stop playing %1 kHz").arg(tone.frequencyKHz));
    }

    // Text1 lies wholly below the client area: it only holds the focus at start.
    m_text1 = new QLineEdit(QStringLiteral("Text1"), this);
    m_text1->setGeometry(Text1Rect);
    // What a screen reader says where the window opens: the focus is here, out of sight.
    m_text1->setAccessibleName(QStringLiteral("Pitchwarden Ear Check, eleven test tones"));
    m_text1->setAccessibleDescription(
        QStringLiteral("Press Tab to reach the tone buttons, Play 8 kHz to Play 22 kHz, and Space "
                       "or Enter to play one. A button is checked while its tone plays."));
    m_text1->setCursor(cursor());
    m_text1->show();
    setTabOrder(m_text1, pushButton(1));
    setTabOrder(pushButton(ToneCatalogue::RowCount), m_text1);
    m_text1->setFocus();
}

PushButton* Form1::pushButton(int row) const
{
    return m_buttons.at(static_cast<size_t>(row - 1));
}

Frame* Form1::frame(int row) const
{
    return m_frames.at(static_cast<size_t>(row - 1));
}

QColor Form1::BackColor() const
{
    return palette().color(QPalette::Window);
}

void Form1::setBackColor(const QColor& colour)
{
    paintBackground(this, QPalette::Window, colour);
}

void Form1::setMousePointer(int pointer)
{
    m_mousePointer = pointer;
    showPointerShape();
}

void Form1::setMouseIcon(const QCursor& cursor)
{
    m_mouseIcon = cursor;
    showPointerShape();
}

// The hourglass, once set, is never left; otherwise every movement rewrites the setting.
void Form1::pointerMovedOver(int pointer)
{
    if (MousePointer() == Hourglass)
        return;
    setMousePointer(pointer);
}

// The setting belongs to the window: it decides the shape over the window and every control.
void Form1::showPointerShape()
{
    QCursor shape(Qt::ArrowCursor);
    if (m_mousePointer == Hourglass)
        shape = QCursor(Qt::WaitCursor);
    else if (m_mousePointer == CustomCursor)
        shape = m_mouseIcon.value_or(QCursor(Qt::PointingHandCursor));
    setCursor(shape);
    for (QWidget* child : findChildren<QWidget*>())
        child->setCursor(shape);
}

void Form1::mouseMoveEvent(QMouseEvent* event)
{
    QWidget::mouseMoveEvent(event);
    Form_MouseMove();
}

void Form1::setVisible(bool visible)
{
    QWidget::setVisible(visible);
    if (visible && !m_text1)
        putTextInPlace();
    if (visible && m_applicationIconPending) {
        m_applicationIconPending = false;
        QTimer::singleShot(0, this, [this] { setWindowIcon(ApplicationIcon()); });
    }
}

// Decoding the icon's four images and handing them to the window system took longer than
// anything else left before the window could appear, so the window system gets the icon right
// after the window has gone to the screen.
void Form1::setApplicationIcon()
{
    if (isVisible())
        setWindowIcon(ApplicationIcon());
    else
        m_applicationIconPending = true;
}

// The window keeps its size. Where the title bar is drawn by Qt itself (a Wayland compositor
// without decorations of its own, with no XWayland to run through), it offers to maximize all the
// same: the window goes back to its normal state.
void Form1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    constexpr Qt::WindowStates Enlarged = Qt::WindowMaximized | Qt::WindowFullScreen;
    if (event->type() == QEvent::WindowStateChange && (windowState() & Enlarged))
        setWindowState(windowState() & ~Enlarged);
}

void Form1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    if (const QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}
