#include "media/soundserver.h"

#include <deque>
#include <optional>
#include <utility>

#include <dlfcn.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <pulse/volume.h>

namespace {

// The client library is loaded when the server is first asked (at the first tone, when
// GStreamer's sink loads it too), not with the program: linked in, it and the libraries it
// brings (libsndfile with its codecs, libsystemd, ...) added about 5 ms to every start.
struct PulseLibrary
{
    decltype(&::pa_threaded_mainloop_new) threaded_mainloop_new = nullptr;
    decltype(&::pa_threaded_mainloop_free) threaded_mainloop_free = nullptr;
    decltype(&::pa_threaded_mainloop_start) threaded_mainloop_start = nullptr;
    decltype(&::pa_threaded_mainloop_stop) threaded_mainloop_stop = nullptr;
    decltype(&::pa_threaded_mainloop_get_api) threaded_mainloop_get_api = nullptr;
    decltype(&::pa_context_new) context_new = nullptr;
    decltype(&::pa_context_connect) context_connect = nullptr;
    decltype(&::pa_context_disconnect) context_disconnect = nullptr;
    decltype(&::pa_context_unref) context_unref = nullptr;
    decltype(&::pa_context_get_state) context_get_state = nullptr;
    decltype(&::pa_context_errno) context_errno = nullptr;
    decltype(&::pa_context_set_state_callback) context_set_state_callback = nullptr;
    decltype(&::pa_context_set_subscribe_callback) context_set_subscribe_callback = nullptr;
    decltype(&::pa_context_subscribe) context_subscribe = nullptr;
    decltype(&::pa_context_get_sink_info_by_name) context_get_sink_info_by_name = nullptr;
    decltype(&::pa_context_get_sink_info_by_index) context_get_sink_info_by_index = nullptr;
    decltype(&::pa_context_get_sink_input_info_list) context_get_sink_input_info_list = nullptr;
    decltype(&::pa_operation_unref) operation_unref = nullptr;
    decltype(&::pa_proplist_gets) proplist_gets = nullptr;
    decltype(&::pa_cvolume_max) cvolume_max = nullptr;
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
            bind(handle, l.threaded_mainloop_new, "pa_threaded_mainloop_new") &&
            bind(handle, l.threaded_mainloop_free, "pa_threaded_mainloop_free") &&
            bind(handle, l.threaded_mainloop_start, "pa_threaded_mainloop_start") &&
            bind(handle, l.threaded_mainloop_stop, "pa_threaded_mainloop_stop") &&
            bind(handle, l.threaded_mainloop_get_api, "pa_threaded_mainloop_get_api") &&
            bind(handle, l.context_new, "pa_context_new") &&
            bind(handle, l.context_connect, "pa_context_connect") &&
            bind(handle, l.context_disconnect, "pa_context_disconnect") &&
            bind(handle, l.context_unref, "pa_context_unref") &&
            bind(handle, l.context_get_state, "pa_context_get_state") &&
            bind(handle, l.context_errno, "pa_context_errno") &&
            bind(handle, l.context_set_state_callback, "pa_context_set_state_callback") &&
            bind(handle, l.context_set_subscribe_callback, "pa_context_set_subscribe_callback") &&
            bind(handle, l.context_subscribe, "pa_context_subscribe") &&
            bind(handle, l.context_get_sink_info_by_name, "pa_context_get_sink_info_by_name") &&
            bind(handle, l.context_get_sink_info_by_index, "pa_context_get_sink_info_by_index") &&
            bind(handle, l.context_get_sink_input_info_list,
                 "pa_context_get_sink_input_info_list") &&
            bind(handle, l.operation_unref, "pa_operation_unref") &&
            bind(handle, l.proplist_gets, "pa_proplist_gets") &&
            bind(handle, l.cvolume_max, "pa_cvolume_max") &&
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

std::function<ServerState()>& standIn()
{
    static std::function<ServerState()> answers;
    return answers;
}

// Requests are fire and forget: their answers arrive in the callbacks.
void forget(pa_operation* operation)
{
    if (operation)
        pulse().operation_unref(operation);
}

QString errorText(pa_context* context)
{
    return QString::fromUtf8(pulse().strerror(pulse().context_errno(context)));
}

} // namespace

// Everything here but `m_state` belongs to the client library's thread once it runs; the
// callbacks below run there, one at a time.
struct SoundServer::Connection
{
    QString tag;
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    bool ready = false;
    // Our stream as a list of streams showed it; its sink's answer completes it. Answers come
    // in the order asked, and only the answer to the latest list counts: an older one may
    // name the sink the stream has just been moved away from.
    struct Tagged
    {
        bool muted = false;
        bool silent = false;
        uint32_t sink = 0;
        unsigned list = 0;
    };
    std::optional<Tagged> tagged;
    unsigned lists = 0;
    std::deque<Tagged> sinksAsked;

    mutable std::mutex mutex;
    ServerState state; // guarded by the mutex

    template <typename Change> void update(Change change)
    {
        std::lock_guard lock(mutex);
        change(state);
    }

    static void onContextState(pa_context* context, void* self);
    static void onServerEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* self);
    static void onDefaultSink(pa_context*, const pa_sink_info* info, int eol, void* self);
    static void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* self);
    static void onStreamSink(pa_context*, const pa_sink_info* info, int eol, void* self);

    // Asks again for everything we follow: the default sink, and our stream with its sink.
    void refresh()
    {
        forget(
            pulse().context_get_sink_info_by_name(context, "@DEFAULT_SINK@", &onDefaultSink, this));
        if (!tag.isEmpty())
            forget(pulse().context_get_sink_input_info_list(context, &onSinkInput, this));
    }
};

namespace {

ServerSink sinkOf(const pa_sink_info& info)
{
    return ServerSink{QString::fromUtf8(info.name), int(info.sample_spec.rate), info.mute != 0,
                      pulse().cvolume_max(&info.volume) == PA_VOLUME_MUTED};
}

} // namespace

void SoundServer::Connection::onContextState(pa_context* context, void* self)
{
    auto* connection = static_cast<Connection*>(self);
    switch (pulse().context_get_state(context)) {
    case PA_CONTEXT_READY:
        connection->ready = true;
        pulse().context_set_subscribe_callback(context, &onServerEvent, self);
        forget(pulse().context_subscribe(context,
                                         pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK |
                                                                PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                                PA_SUBSCRIPTION_MASK_SERVER),
                                         nullptr, nullptr));
        connection->refresh();
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        connection->update([&](ServerState& state) {
            state.answer = connection->ready ? ServerState::Lost : ServerState::NoServer;
            state.reason = errorText(context);
        });
        break;
    default:
        break;
    }
}

// A sink or a stream changed, appeared or went (a mute, a volume, a stream moved, a new
// default): the picture is asked for anew.
void SoundServer::Connection::onServerEvent(pa_context*, pa_subscription_event_type_t, uint32_t,
                                            void* self)
{
    static_cast<Connection*>(self)->refresh();
}

void SoundServer::Connection::onDefaultSink(pa_context*, const pa_sink_info* info, int eol,
                                            void* self)
{
    auto* connection = static_cast<Connection*>(self);
    if (eol < 0) {
        connection->update([](ServerState& state) {
            state.answer = ServerState::NoDefaultSink;
            state.defaultSink.reset();
        });
    } else if (info) {
        connection->update([&](ServerState& state) {
            state.answer = ServerState::Answered;
            state.defaultSink = sinkOf(*info);
        });
    }
}

void SoundServer::Connection::onSinkInput(pa_context* context, const pa_sink_input_info* info,
                                          int eol, void* self)
{
    auto* connection = static_cast<Connection*>(self);
    if (info && eol == 0) {
        const char* tag = pulse().proplist_gets(info->proplist, StreamTagKey);
        if (tag && connection->tag == QString::fromUtf8(tag))
            connection->tagged = Tagged{
                info->mute != 0, pulse().cvolume_max(&info->volume) == PA_VOLUME_MUTED, info->sink};
        return;
    }
    // The whole list is in: our stream's sink is asked for next, or the stream is gone.
    ++connection->lists;
    const std::optional<Tagged> found = std::exchange(connection->tagged, std::nullopt);
    if (!found) {
        connection->update([](ServerState& state) { state.stream.reset(); });
        return;
    }
    pa_operation* asked =
        pulse().context_get_sink_info_by_index(context, found->sink, &onStreamSink, self);
    if (!asked)
        return;
    forget(asked);
    connection->sinksAsked.push_back(*found);
    connection->sinksAsked.back().list = connection->lists;
}

void SoundServer::Connection::onStreamSink(pa_context*, const pa_sink_info* info, int eol,
                                           void* self)
{
    auto* connection = static_cast<Connection*>(self);
    if (connection->sinksAsked.empty())
        return;
    const Tagged asked = connection->sinksAsked.front();
    if (eol != 0) { // this answer is complete, or failed
        connection->sinksAsked.pop_front();
        return;
    }
    if (!info || asked.list != connection->lists)
        return;
    const ServerStream found{asked.muted, asked.silent, sinkOf(*info)};
    connection->update([&](ServerState& state) { state.stream = found; });
}

SoundServer::SoundServer(const QString& streamTag) : m_connection(std::make_unique<Connection>())
{
    m_connection->tag = streamTag;
    if (standIn())
        return;
    if (const QString failure = connect(); !failure.isEmpty())
        m_connection->update([&](ServerState& state) {
            state.answer = ServerState::NoServer;
            state.reason = failure;
        });
}

// Starts connecting, never starting a server; the answers arrive on the library's thread.
QString SoundServer::connect()
{
    if (!PulseLibrary::get())
        return QStringLiteral("no sound server client library (libpulse.so.0)");
    Connection& c = *m_connection;
    c.loop = pulse().threaded_mainloop_new();
    if (!c.loop)
        return QStringLiteral("no event loop for the sound server");
    c.context =
        pulse().context_new(pulse().threaded_mainloop_get_api(c.loop), "Pitchwarden Ear Check");
    if (!c.context)
        return QStringLiteral("no connection object for the sound server");
    pulse().context_set_state_callback(c.context, &Connection::onContextState, &c);
    if (pulse().context_connect(c.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return errorText(c.context);
    if (pulse().threaded_mainloop_start(c.loop) < 0)
        return QStringLiteral("no thread for the sound server connection");
    return {};
}

// Stopping the library's thread only wakes it from its poll: it never waits for the server.
SoundServer::~SoundServer()
{
    Connection& c = *m_connection;
    if (c.loop)
        pulse().threaded_mainloop_stop(c.loop);
    if (c.context) {
        pulse().context_disconnect(c.context);
        pulse().context_unref(c.context);
    }
    if (c.loop)
        pulse().threaded_mainloop_free(c.loop);
}

const QString& SoundServer::streamTag() const
{
    return m_connection->tag;
}

ServerState SoundServer::state() const
{
    if (standIn())
        return standIn()();
    std::lock_guard lock(m_connection->mutex);
    return m_connection->state;
}

ServerState SoundServer::awaitState(const std::function<bool(const ServerState&)>& done,
                                    int milliseconds) const
{
    ServerState now = state();
    if (done(now))
        return now;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        now = state();
        if (done(now) || clock.hasExpired(milliseconds))
            loop.quit();
    });
    tick.start(2);
    loop.exec();
    return now;
}

void SoundServer::setStandInForTesting(std::function<ServerState()> answers)
{
    standIn() = std::move(answers);
}

bool SoundServer::hasStandIn()
{
    return bool(standIn());
}
