#include "media/soundserver.h"

#include <chrono>
#include <memory>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

namespace {

constexpr auto AnswerTimeout = std::chrono::seconds(1);

struct MainloopFree
{
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextRelease
{
    void operator()(pa_context* context) const
    {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct OperationUnref
{
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};

// Runs the loop until `done` holds or the deadline passes; returns whether it held.
template <typename Done>
bool runUntil(pa_mainloop* loop, std::chrono::steady_clock::time_point deadline, Done done)
{
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || pa_mainloop_prepare(loop, int(left.count())) < 0 ||
            pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0)
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
    const auto deadline = std::chrono::steady_clock::now() + AnswerTimeout;
    std::unique_ptr<pa_mainloop, MainloopFree> loop(pa_mainloop_new());
    if (!loop)
        return fail(QStringLiteral("no event loop for the sound server"));
    std::unique_ptr<pa_context, ContextRelease> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Pitchwarden Ear Check"));
    if (!context)
        return fail(QStringLiteral("no connection object for the sound server"));
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return fail(QString::fromUtf8(pa_strerror(pa_context_errno(context.get()))));
    const auto settled = [&] {
        const pa_context_state_t state = pa_context_get_state(context.get());
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (!runUntil(loop.get(), deadline, settled) ||
        pa_context_get_state(context.get()) != PA_CONTEXT_READY) {
        const int error = pa_context_errno(context.get());
        return fail(error ? QString::fromUtf8(pa_strerror(error))
                          : QStringLiteral("the sound server did not answer"));
    }
    std::optional<ServerSink> sink;
    std::unique_ptr<pa_operation, OperationUnref> query(
        pa_context_get_sink_info_by_name(context.get(), "@DEFAULT_SINK@", &takeSinkInfo, &sink));
    if (!query)
        return fail(QString::fromUtf8(pa_strerror(pa_context_errno(context.get()))));
    const auto answered = [&] {
        return pa_operation_get_state(query.get()) != PA_OPERATION_RUNNING;
    };
    if (!runUntil(loop.get(), deadline, answered) || !sink)
        return fail(QStringLiteral("the sound server has no default sink"));
    return sink;
}
