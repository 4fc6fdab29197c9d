#include "support/apptitle.h"

#include <QCoreApplication>

#include "support/failure.h"

namespace {

constexpr qsizetype TitleLimit = 40;

QString& storedTitle()
{
    static QString title;
    return title;
}

} // namespace

QString ProductName()
{
    return QStringLiteral("Pitchwarden Ear Check");
}

QString ApplicationTitleFrom(const QString& productName)
{
    QString title = productName;
    do {
        const qsizetype lastSpace = title.lastIndexOf(QLatin1Char(' '));
        if (lastSpace < 0)
            throw Failure(QStringLiteral("Invalid procedure call or argument"));
        title.truncate(lastSpace);
    } while (title.size() > TitleLimit);
    return title;
}

void SetApplicationTitle()
{
    storedTitle() = ApplicationTitleFrom(ProductName());
    QCoreApplication::setApplicationName(storedTitle());
}

QString ApplicationTitle()
{
    return storedTitle().isEmpty() ? QCoreApplication::applicationName() : storedTitle();
}
