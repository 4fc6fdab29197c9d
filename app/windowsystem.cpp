#include "app/windowsystem.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>

#include <poll.h>

#include <QByteArray>
#include <QtGlobal>

#include <wayland-client.h>

namespace {

using Clock = std::chrono::steady_clock;

// A compositor that answers slower than this is not waited for: Qt then chooses as it would.
constexpr auto AnswerTimeout = std::chrono::seconds(1);

// The protocol by which a client asks the compositor to draw its title bar and frame.
constexpr const char* DecorationProtocol = "zxdg_decoration_manager_v1";

bool userChoseThePlatform(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0)
            return true;
    return false;
}

struct DisplayDisconnect
{
    void operator()(wl_display* display) const { wl_display_disconnect(display); }
};
struct RegistryDestroy
{
    void operator()(wl_registry* registry) const { wl_registry_destroy(registry); }
};
struct CallbackDestroy
{
    void operator()(wl_callback* callback) const { wl_callback_destroy(callback); }
};

struct Answer
{
    bool decorates = false;
    bool complete = false;
};

void global(void* data, wl_registry*, uint32_t, const char* interface, uint32_t)
{
    if (std::strcmp(interface, DecorationProtocol) == 0)
        static_cast<Answer*>(data)->decorates = true;
}

void globalRemove(void*, wl_registry*, uint32_t) {}

// The compositor lists every global before it answers a sync request made after asking.
void synced(void* data, wl_callback*, uint32_t)
{
    static_cast<Answer*>(data)->complete = true;
}

const wl_registry_listener RegistryListener = {global, globalRemove};
const wl_callback_listener SyncListener = {synced};

// Reads and dispatches the compositor's events until `answer` is complete or the time is up.
bool awaitAnswer(wl_display* display, const Answer& answer)
{
    const auto deadline = Clock::now() + AnswerTimeout;
    while (!answer.complete) {
        while (wl_display_prepare_read(display) != 0)
            wl_display_dispatch_pending(display);
        wl_display_flush(display);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd events = {wl_display_get_fd(display), POLLIN, 0};
        if (left.count() <= 0 || poll(&events, 1, int(left.count())) <= 0) {
            wl_display_cancel_read(display);
            return false;
        }
        if (wl_display_read_events(display) != 0 || wl_display_dispatch_pending(display) < 0)
            return false;
    }
    return true;
}

// Whether the Wayland compositor Qt would open the window on decorates windows itself; empty
// when there is none, or it does not answer in time.
std::optional<bool> compositorDecorates()
{
    const std::unique_ptr<wl_display, DisplayDisconnect> display(wl_display_connect(nullptr));
    if (!display)
        return std::nullopt;
    Answer answer;
    const std::unique_ptr<wl_registry, RegistryDestroy> registry(
        wl_display_get_registry(display.get()));
    wl_registry_add_listener(registry.get(), &RegistryListener, &answer);
    const std::unique_ptr<wl_callback, CallbackDestroy> sync(wl_display_sync(display.get()));
    wl_callback_add_listener(sync.get(), &SyncListener, &answer);
    if (!awaitAnswer(display.get(), answer))
        return std::nullopt;
    return answer.decorates;
}

} // namespace

void WindowSystem::choose(int argc, char* argv[])
{
    if (userChoseThePlatform(argc, argv) || qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        qEnvironmentVariableIsEmpty("DISPLAY"))
        return;
    if (compositorDecorates() == false)
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("xcb"));
}
