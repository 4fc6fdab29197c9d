#include "app/displayguard.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <QString>
#include <QStringList>

namespace {

struct HeldMessage
{
    QtMsgType type = QtDebugMsg;
    const char* file = nullptr;
    int line = 0;
    const char* function = nullptr;
    const char* category = nullptr;
    QString text;
};

// Qt's message contexts point to static strings (source locations, category names).
std::vector<HeldMessage>& heldMessages()
{
    static std::vector<HeldMessage> held;
    return held;
}

// Qt's own threads (its D-Bus connection's, for one) may report while the display is opened.
std::mutex& heldMessagesLock()
{
    static std::mutex lock;
    return lock;
}

// The display variables a desktop session sets, with their values where set.
QString displayVariables()
{
    QStringList set;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            set << QStringLiteral("%1=%2").arg(QString::fromLatin1(name), value);
    }
    return set.join(QStringLiteral(", "));
}

[[noreturn]] void reportNoDisplay()
{
    const QString set = displayVariables();
    const QString what = set.isEmpty()
                             ? QStringLiteral("no display to open the window on")
                             : QStringLiteral("the display cannot be opened (%1)").arg(set);
    const QString line =
        QStringLiteral("pitchwarden-ear-check: %1; start it from a desktop session, which provides "
                       "its display in DISPLAY or WAYLAND_DISPLAY\n")
            .arg(what);
    std::fputs(line.toLocal8Bit().constData(), stderr);
    std::_Exit(1);
}

void holdOrReport(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    // The only fatal error while the application object is made: no platform could start.
    if (type == QtFatalMsg)
        reportNoDisplay();
    const std::scoped_lock hold(heldMessagesLock());
    heldMessages().push_back(
        {type, context.file, context.line, context.function, context.category, text});
}

} // namespace

DisplayGuard::DisplayGuard() : m_previous(qInstallMessageHandler(holdOrReport)) {}

DisplayGuard::~DisplayGuard()
{
    qInstallMessageHandler(m_previous);
    const std::scoped_lock hold(heldMessagesLock());
    for (const HeldMessage& message : heldMessages()) {
        const QMessageLogContext context(message.file, message.line, message.function,
                                         message.category);
        m_previous(message.type, context, message.text);
    }
    heldMessages().clear();
}
