#include "support/doevents.h"

#include <QCoreApplication>

namespace {

std::function<void()>& handler()
{
    static std::function<void()> current;
    return current;
}

} // namespace

void DoEvents()
{
    if (handler())
        handler()();
    else
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void setDoEventsHandler(std::function<void()> newHandler)
{
    handler() = std::move(newHandler);
}
