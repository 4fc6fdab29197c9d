#include "support/messagebox.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QShowEvent>
#include <QTimer>

#include "support/apptitle.h"

namespace {

MessageBoxPresenter& presenter()
{
    static MessageBoxPresenter current;
    return current;
}

QPointer<QWidget>& owner()
{
    static QPointer<QWidget> window;
    return window;
}

// A box of the program's window: centred on the window, and on Wayland kept above it.
//
// Qt centres a dialog's frame on its parent's by guessing the frame from other windows, which
// puts the box off centre under GNOME (40 pixels high there); the box's own area centred on the
// window's is exact wherever both get the same title bar.
//
// On Wayland the compositor alone stacks the windows, and not every compositor keeps a dialog
// above the window it belongs to: sway raises a clicked window over the box that blocks it, and
// the box stays hidden behind a window that takes no clicks. So when the blocked window becomes
// active, the box is shown anew: a window that appears goes on top, and takes the focus. That
// would end QDialog::exec(), so the box runs a loop of its own until the user closes it.
class WindowBox : public QMessageBox
{
public:
    WindowBox(const QString& text, int style, const QString& title, QWidget* window)
        : QMessageBox(style == Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon, title,
                      displayedMessageText(text), QMessageBox::Ok, window)
    {
        setWindowModality(Qt::ApplicationModal);
        if (window && QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
            window->installEventFilter(this);
    }

    void run()
    {
        QEventLoop closed;
        connect(this, &QDialog::finished, &closed, &QEventLoop::quit);
        show();
        closed.exec(QEventLoop::DialogExec);
    }

protected:
    // After QMessageBox has given the box its size; the box's own area, not its frame.
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);
        if (const QWidget* window = parentWidget())
            setGeometry(QRect(window->geometry().center() - rect().center(), size()));
    }

    bool eventFilter(QObject* /*watched*/, QEvent* event) override
    {
        if (event->type() == QEvent::WindowActivate && isVisible())
            QTimer::singleShot(0, this, [this] {
                hide();
                show();
            });
        return false;
    }
};

} // namespace

QString displayedMessageText(const QString& text)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

void MsgBox(const QString& text, int style, const QString& title)
{
    const QString resolvedTitle = title.isEmpty() ? ApplicationTitle() : title;
    if (presenter()) {
        presenter()(text, style, resolvedTitle);
        return;
    }
    // The window's, whatever has the focus; before the window is on the screen, no window's.
    QWidget* window = owner();
    WindowBox(text, style, resolvedTitle, window && window->isVisible() ? window : nullptr).run();
}

void setMessageBoxPresenter(MessageBoxPresenter newPresenter)
{
    presenter() = std::move(newPresenter);
}

void setMessageBoxOwner(QWidget* window)
{
    owner() = window;
}
