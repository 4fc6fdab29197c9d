#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>

#include <QCursor>
#include <QWidget>

#include "app/frame.h"
#include "app/pushbutton.h"
#include "support/skinframework.h"
#include "tones/tonewindow.h"

class QLineEdit;
class clsMusic;
class TonePlaybackController;

// The main window: eleven framed tone groups in one column, each with its play button, and
// the pointer feedback that turns the pointer into a hand over the buttons.
class Form1 : public QWidget, public ToneWindow
{
    Q_OBJECT
    Q_PROPERTY(QColor BackColor READ BackColor WRITE setBackColor)

public:
    // The window-wide pointer setting.
    enum Pointer
    {
        DefaultPointer = 0,
        Hourglass = HourglassPointer,
        CustomCursor = 99
    };

    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    PushButton* pushButton(int row) const;
    Frame* frame(int row) const;
    // Made when the window is first shown.
    QLineEdit* Text1() const { return m_text1; }
    // Showing the window the first time also puts its text in place (see putTextInPlace).
    void setVisible(bool visible) override;

    QString ToneButtonCaption(int row) const override { return pushButton(row)->Caption(); }
    // The button is on (checked) while it reads "Stop Playing": see PushButton::setOnCaption.
    void setToneButtonCaption(int row, const QString& caption) override
    {
        pushButton(row)->setCaption(caption);
    }

    int MousePointer() const { return m_mousePointer; }
    void setMousePointer(int pointer) override;
    // The custom cursor; empty until start-up loads the hand cursor.
    std::optional<QCursor> MouseIcon() const { return m_mouseIcon; }
    void setMouseIcon(const QCursor& cursor);

    // The window takes the application icon; the window system gets it once the window is shown.
    void setApplicationIcon();

    QColor BackColor() const;
    void setBackColor(const QColor& colour);

    // The one media player, created by the load procedure; empty until then.
    clsMusic* Music() const override { return m_music.get(); }
    const TonePlaybackController& controller() const { return *m_controller; }

    // Start-up: skin, caption, icon, application title, hand cursor, home page, player.
    void Form_Load();
    // Closing: stops a playing tone; the close is never refused.
    void Form_QueryUnload(qint16& cancel, qint16 unloadMode);
    // Ends the program at once: nothing waiting lower on the stack resumes.
    void Form_Unload(qint16& cancel);
    // What ending the program does (tests replace it); an empty function restores exiting.
    static void setProgramEnd(std::function<void()> end);

    void PushButton1_Click();
    void PushButton2_Click();
    void PushButton3_Click();
    void PushButton4_Click();
    void PushButton5_Click();
    void PushButton6_Click();
    void PushButton7_Click();
    void PushButton8_Click();
    void PushButton9_Click();
    void PushButton10_Click();
    void PushButton11_Click();

    // Pointer feedback: the background and the frames give the arrow, the buttons the hand.
    void Form_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame1_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame2_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame3_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame4_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame5_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame6_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame7_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame8_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame9_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame10_MouseMove() { pointerMovedOver(DefaultPointer); }
    void Frame11_MouseMove() { pointerMovedOver(DefaultPointer); }
    void PushButton1_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton2_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton3_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton4_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton5_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton6_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton7_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton8_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton9_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton10_MouseMove() { pointerMovedOver(CustomCursor); }
    void PushButton11_MouseMove() { pointerMovedOver(CustomCursor); }

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildControls();
    void putTextInPlace();
    void pointerMovedOver(int pointer);
    void showPointerShape();

    QLineEdit* m_text1 = nullptr;
    std::array<Frame*, 11> m_frames{};
    std::array<PushButton*, 11> m_buttons{};
    int m_mousePointer = DefaultPointer;
    std::optional<QCursor> m_mouseIcon;
    bool m_centred = false;
    bool m_applicationIconPending = false;
    SkinFramework m_skinFramework1;
    std::unique_ptr<clsMusic> m_music;
    std::unique_ptr<TonePlaybackController> m_controller;
};
