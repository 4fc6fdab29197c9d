#include "support/errortrap.h"

#include "support/messagebox.h"

namespace {

const auto SupportAddress = QStringLiteral("support@pitchwarden.example");

QString describe(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    } catch (...) {
        return QStringLiteral("Unknown failure");
    }
}

} // namespace

ErrorTrap::ErrorTrap(const QString& procedure) : m_location(locationFor(procedure)) {}

QString ErrorTrap::locationFor(const QString& procedure)
{
    return QStringLiteral("in Pitchwarden2021/08/31.Form1.%1 ").arg(procedure);
}

QString ErrorTrap::message(const QString& description, const QString& location, int line)
{
    return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ") +
           QString::number(line) + QStringLiteral("\r\r") +
           QStringLiteral("Please email screenshot of this message to ") + SupportAddress;
}

// Also on standard error, where the desktop's journal keeps it.
void ErrorTrap::report(std::exception_ptr failure) const
{
    const QString description = describe(failure);
    qWarning("Application Error: %s (%sat line %d)", qUtf8Printable(description),
             qUtf8Printable(m_location), m_line);
    MsgBox(message(description, m_location, m_line), Exclamation,
           QStringLiteral("Application Error"));
}
