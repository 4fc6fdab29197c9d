#include "support/messagebox.h"

#include <QApplication>
#include <QMessageBox>

#include "support/apptitle.h"

namespace {

MessageBoxPresenter& presenter()
{
    static MessageBoxPresenter current;
    return current;
}

void showRealBox(const QString& text, int style, const QString& title)
{
    QMessageBox box(style == Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon, title,
                    displayedMessageText(text), QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

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
    if (presenter())
        presenter()(text, style, resolvedTitle);
    else
        showRealBox(text, style, resolvedTitle);
}

void setMessageBoxPresenter(MessageBoxPresenter newPresenter)
{
    presenter() = std::move(newPresenter);
}
