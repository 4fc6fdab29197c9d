#include "media/soundserver.h"

#include <chrono>
#include <memory>

#include <dlfcn.h>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

namespace {

constexpr auto AnswerTimeout = std::chrono::seconds(1);

// The client library is loaded when the server is first asked (at the first tone, when
// GStreamer's sink loads it too), not with the program: linked in, it and the libraries it
// brings (libsndfile with its codecs, libsystemd, ...) added about 5 ms to every start.
struct PulseLibrary
{
    decltype(&::pa_mainloop_new) mainloop_new = nullptr;
    decltype(&::pa_mainloop_free) mainloop_free = nullptr;
    decltype(&::pa_mainloop_get_api) mainloop_get_api = nullptr;
    decltype(&::pa_mainloop_prepare) mainloop_prepare = nullptr;
    decltype(&::pa_mainloop_poll) mainloop_poll = nullptr;
    decltype(&::pa_mainloop_dispatch) mainloop_dispatch = nullptr;
    decltype(&::pa_context_new) context_new = nullptr;
    decltype(&::pa_context_connect) context_connect = nullptr;
    decltype(&::pa_context_disconnect) context_disconnect = nullptr;
    decltype(&::pa_context_unref) context_unref = nullptr;
    decltype(&::pa_context_get_state) context_get_state = nullptr;
    decltype(&::pa_context_errno) context_errno = nullptr;
    decltype(&::pa_context_get_sink_info_by_name) context_get_sink_info_by_name = nullptr;
    decltype(&::pa_operation_get_state) operation_get_state = nullptr;
    decltype(&::pa_operation_unref) operation_unref = nullptr;
    decltype(&::pa_strerror) strerror = nullptr;

    // Loaded once and kept for the life of the program; null when it cannot be loaded.
    static const PulseLibrary* get()
    {
        static const std::optional<PulseLibrary> library = load();
        return library ? &*library : nullptr;
    }

private:
    static std::optional<PulseLibrary> load()
    {
        void* handle = ::dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return std::nullopt;
        PulseLibrary l;
        const bool complete =
            bind(handle, l.mainloop_new, "pa_mainloop_new") &&
            bind(handle, l.mainloop_free, "pa_mainloop_free") &&
            bind(handle, l.mainloop_get_api, "pa_mainloop_get_api") &&
            bind(handle, l.mainloop_prepare, "pa_mainloop_prepare") &&
            bind(handle, l.mainloop_poll, "pa_mainloop_poll") &&
            bind(handle, l.mainloop_dispatch, "pa_mainloop_dispatch") &&
            bind(handle, l.context_new, "pa_context_new") &&
            bind(handle, l.context_connect, "pa_context_connect") &&
            bind(handle, l.context_disconnect, "pa_context_disconnect") &&
            bind(handle, l.context_unref, "pa_context_unref") &&
            bind(handle, l.context_get_state, "pa_context_get_state") &&
            bind(handle, l.context_errno, "pa_context_errno") &&
            bind(handle, l.context_get_sink_info_by_name, "pa_context_get_sink_info_by_name") &&
            bind(handle, l.operation_get_state, "pa_operation_get_state") &&
            bind(handle, l.operation_unref, "pa_operation_unref") &&
            bind(handle, l.strerror, "pa_strerror");
        if (!complete)
            return std::nullopt;
        return l;
    }

    template <typename Function>
    static bool bind(void* handle, Function& function, const char* name)
    {
        function = reinterpret_cast<Function>(::dlsym(handle, name));
        return function != nullptr;
    }
};

const PulseLibrary& pulse()
{
    return *PulseLibrary::get();
}

struct MainloopFree
{
    void operator()(pa_mainloop* loop) const { pulse().mainloop_free(loop); }
};
struct ContextRelease
{
    void operator()(pa_context* context) const
    {
        pulse().context_disconnect(context);
        pulse().context_unref(context);
    }
};
struct OperationUnref
{
    void operator()(pa_operation* operation) const { pulse().operation_unref(operation); }
};

// Runs the loop until `done` holds or the deadline passes; returns whether it held.
template <typename Done>
bool runUntil(pa_mainloop* loop, std::chrono::steady_clock::time_point deadline, Done done)
{
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || pulse().mainloop_prepare(loop, int(left.count())) < 0 ||
            pulse().mainloop_poll(loop) < 0 || pulse().mainloop_dispatch(loop) < 0)
            return done();
    }
    return true;
}

void takeSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* result)
{
    auto* sink = static_cast<std::optional<ServerSink>*>(result);
    if (eol == 0 && info)
        *sink = ServerSink{QString::fromUtf8(info->name), int(info->sample_spec.rate)};
}

} // namespace

std::optional<ServerSink> QueryDefaultSink(QString* why)
{
    const auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    if (!PulseLibrary::get())
        return fail(QStringLiteral("no sound server client library (libpulse.so.0)"));
    const auto deadline = std::chrono::steady_clock::now() + AnswerTimeout;
    std::unique_ptr<pa_mainloop, MainloopFree> loop(pulse().mainloop_new());
    if (!loop)
        return fail(QStringLiteral("no event loop for the sound server"));
    std::unique_ptr<pa_context, ContextRelease> context(
        pulse().context_new(pulse().mainloop_get_api(loop.get()), "Pitchwarden Ear Check"));
    if (!context)
        return fail(QStringLiteral("no connection object for the sound server"));
    if (pulse().context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return fail(QString::fromUtf8(pulse().strerror(pulse().context_errno(context.get()))));
    const auto settled = [&] {
        const pa_context_state_t state = pulse().context_get_state(context.get());
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (!runUntil(loop.get(), deadline, settled) ||
        pulse().context_get_state(context.get()) != PA_CONTEXT_READY) {
        const int error = pulse().context_errno(context.get());
        return fail(error ? QString::fromUtf8(pulse().strerror(error))
                          : QStringLiteral("the sound server did not answer"));
    }
    std::optional<ServerSink> sink;
    std::unique_ptr<pa_operation, OperationUnref> query(pulse().context_get_sink_info_by_name(
        context.get(), "@DEFAULT_SINK@", &takeSinkInfo, &sink));
    if (!query)
        return fail(QString::fromUtf8(pulse().strerror(pulse().context_errno(context.get()))));
    const auto answered = [&] {
        return pulse().operation_get_state(query.get()) != PA_OPERATION_RUNNING;
    };
    if (!runUntil(loop.get(), deadline, answered) || !sink)
        return fail(QStringLiteral("the sound server has no default sink"));
    return sink;
}
