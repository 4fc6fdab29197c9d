#include "media/soundserver.h"

#include <map>
#include <mutex>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/rtclock.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>
#include <pulse/volume.h>

namespace {

using Clock = std::chrono::steady_clock;

// A healthy server answers within a millisecond; asking twice a second finds one that stopped
// within the second that a press may wait for it.
constexpr pa_usec_t AskInterval = 500 * PA_USEC_PER_MSEC;

std::function<ServerState()>& standIn()
{
    static std::function<ServerState()> answers;
    return answers;
}

// Requests are fire and forget: their answers arrive in the callbacks.
void forget(pa_operation* operation)
{
    if (operation)
        pa_operation_unref(operation);
}

QString errorText(pa_context* context)
{
    return QString::fromUtf8(pa_strerror(pa_context_errno(context)));
}

bool silent(const pa_cvolume& volume)
{
    return pa_cvolume_max(&volume) == PA_VOLUME_MUTED;
}

} // namespace

// Everything here but what the mutex guards belongs to the client library's thread once it runs;
// the callbacks below run there, one at a time.
//
// The picture is asked for as a whole: the server's default sink, every sink, every stream. The
// server answers in the order asked, so when the list of streams is complete, the answers before
// it belong to the same picture (an older picture could name the sink the stream has just been
// moved away from).
struct SoundServer::Connection
{
    QString tag;
    std::function<void()> changed;
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_time_event* timer = nullptr;
    bool ready = false;
    // The picture being answered.
    QString defaultName;
    std::map<uint32_t, ServerSink> sinks;
    std::optional<std::pair<ServerStream, uint32_t>> tagged; // our stream and its sink's index

    mutable std::mutex mutex;
    ServerState state;                                          // guarded by the mutex
    std::optional<Clock::time_point> askedSince = Clock::now(); // guarded: the connection first

    QString connect();
    void ask();
    void publish();
    void setAsked(std::optional<Clock::time_point> since);

    // Tells only of what changed: every answer to a question asked anew would otherwise wake
    // the player.
    template <typename Change> void update(Change change)
    {
        bool differs = false;
        {
            std::lock_guard lock(mutex);
            const ServerState before = state;
            change(state);
            differs = !(state == before);
        }
        if (differs && changed)
            changed();
    }

    ServerState snapshot() const
    {
        std::lock_guard lock(mutex);
        const auto waited = askedSince ? Clock::now() - *askedSince : Clock::duration(0);
        ServerState copy(state);
        copy.unanswered = std::chrono::duration_cast<std::chrono::milliseconds>(waited);
        return copy;
    }

    static void onContextState(pa_context* context, void* self);
    static void onServerEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* self)
    {
        static_cast<Connection*>(self)->ask();
    }
    static void onTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self);
    static void onServer(pa_context*, const pa_server_info* info, void* self);
    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* self);
    static void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* self);
};

void SoundServer::Connection::setAsked(std::optional<Clock::time_point> since)
{
    std::lock_guard lock(mutex);
    askedSince = since;
}

// Asks for the whole picture. The time a question waits counts from the oldest one unanswered.
void SoundServer::Connection::ask()
{
    {
        std::lock_guard lock(mutex);
        if (!askedSince)
            askedSince = Clock::now();
    }
    forget(pa_context_get_server_info(context, &onServer, this));
    forget(pa_context_get_sink_info_list(context, &onSink, this));
    forget(pa_context_get_sink_input_info_list(context, &onSinkInput, this));
}

void SoundServer::Connection::onContextState(pa_context* context, void* self)
{
    auto* connection = static_cast<Connection*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        connection->ready = true;
        pa_context_set_subscribe_callback(context, &onServerEvent, self);
        forget(pa_context_subscribe(context,
                                    pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK |
                                                           PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                           PA_SUBSCRIPTION_MASK_SERVER),
                                    nullptr, nullptr));
        connection->ask();
        connection->timer =
            pa_context_rttime_new(context, pa_rtclock_now() + AskInterval, &onTimer, self);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        connection->setAsked(std::nullopt);
        connection->update([&](ServerState& state) {
            state.answer = connection->ready ? ServerState::Lost : ServerState::NoServer;
            state.reason = errorText(context);
        });
        break;
    default:
        break;
    }
}

// Asked again twice a second, so that a server that stops answering is noticed even when nothing
// changes; not while a question waits, so the oldest one keeps its age.
void SoundServer::Connection::onTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                                      void* self)
{
    auto* connection = static_cast<Connection*>(self);
    if (!connection->snapshot().unanswered.count())
        connection->ask();
    pa_context_rttime_restart(connection->context, event, pa_rtclock_now() + AskInterval);
}

void SoundServer::Connection::onServer(pa_context*, const pa_server_info* info, void* self)
{
    auto* connection = static_cast<Connection*>(self);
    connection->defaultName = info ? QString::fromUtf8(info->default_sink_name) : QString();
    connection->sinks.clear();
    connection->tagged.reset();
}

void SoundServer::Connection::onSink(pa_context*, const pa_sink_info* info, int eol, void* self)
{
    if (info && eol == 0)
        static_cast<Connection*>(self)->sinks[info->index] =
            ServerSink{QString::fromUtf8(info->name), int(info->sample_spec.rate), info->mute != 0,
                       silent(info->volume)};
}

// The last stream with our tag is the newest: the sink makes a new stream when its format changes.
void SoundServer::Connection::onSinkInput(pa_context*, const pa_sink_input_info* info, int eol,
                                          void* self)
{
    auto* connection = static_cast<Connection*>(self);
    if (eol != 0) {
        connection->publish();
        return;
    }
    const char* tag = info ? pa_proplist_gets(info->proplist, StreamTagKey) : nullptr;
    if (tag && connection->tag == QString::fromUtf8(tag))
        connection->tagged.emplace(ServerStream{info->mute != 0, silent(info->volume), {}},
                                   info->sink);
}

void SoundServer::Connection::publish()
{
    std::optional<ServerSink> defaultSink;
    for (const auto& [index, sink] : sinks)
        if (sink.name == defaultName)
            defaultSink = sink;
    std::optional<ServerStream> stream;
    if (tagged && sinks.count(tagged->second)) {
        stream = tagged->first;
        stream->sink = sinks[tagged->second];
    }
    setAsked(std::nullopt);
    update([&](ServerState& state) {
        state.answer = defaultSink ? ServerState::Answered : ServerState::NoDefaultSink;
        state.defaultSink = defaultSink;
        state.stream = stream;
    });
}

// Starts connecting, never starting a server; the answers arrive on the library's thread.
QString SoundServer::Connection::connect()
{
    loop = pa_threaded_mainloop_new();
    if (!loop)
        return QStringLiteral("no event loop for the sound server");
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Pitchwarden Ear Check");
    if (!context)
        return QStringLiteral("no connection object for the sound server");
    pa_context_set_state_callback(context, &onContextState, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return errorText(context);
    if (pa_threaded_mainloop_start(loop) < 0)
        return QStringLiteral("no thread for the sound server connection");
    return {};
}

SoundServer::SoundServer(const QString& streamTag, std::function<void()> changed)
    : m_connection(std::make_unique<Connection>())
{
    m_connection->tag = streamTag;
    m_connection->changed = std::move(changed);
    if (standIn())
        return;
    if (const QString failure = m_connection->connect(); !failure.isEmpty()) {
        m_connection->setAsked(std::nullopt);
        m_connection->update([&](ServerState& state) {
            state.answer = ServerState::NoServer;
            state.reason = failure;
        });
    }
}

// Stopping the library's thread only wakes it from its poll: it never waits for the server.
SoundServer::~SoundServer()
{
    Connection& c = *m_connection;
    if (c.loop)
        pa_threaded_mainloop_stop(c.loop);
    if (c.timer)
        pa_threaded_mainloop_get_api(c.loop)->time_free(c.timer);
    if (c.context) {
        pa_context_disconnect(c.context);
        pa_context_unref(c.context);
    }
    if (c.loop)
        pa_threaded_mainloop_free(c.loop);
}

const QString& SoundServer::streamTag() const
{
    return m_connection->tag;
}

ServerState SoundServer::state() const
{
    return standIn() ? standIn()() : m_connection->snapshot();
}

void SoundServer::setStandInForTesting(std::function<ServerState()> answers)
{
    standIn() = std::move(answers);
}

bool SoundServer::hasStandIn()
{
    return bool(standIn());
}
