#include "media/mediagraph.h"

#include <cmath>
#include <limits>
#include <thread>

#include <sys/stat.h>

#include <gst/audio/audio.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include "media/decoderchoice.h"
#include "media/mp3duration.h"
#include "media/pipelinethread.h"
#include "media/rateconverter.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const QEvent::Type NewsEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// A press, from opening the file to starting it, may take this long: on a small computer whose
// disk is cold, loading the decoder and the sound server's plugins alone takes seconds.
constexpr auto PressLimit = seconds(20);
// Any later step (a stop, a seek) takes a healthy graph milliseconds.
constexpr auto StepLimit = seconds(5);
// A question the sound server leaves unanswered this long shows that it has stopped.
constexpr auto ServerAnswerLimit = milliseconds(1000);
// Our stream shows at the server within milliseconds of the graph opening it.
constexpr auto StreamAnswerLimit = milliseconds(1000);
// How often a wait looks at the server and the clock when nothing else wakes it.
constexpr auto WaitSlice = milliseconds(20);
// How often the running sound is looked at: whether it moves on, and where the server plays it.
constexpr auto WatchInterval = milliseconds(500);
// ... and while it stands still.
constexpr auto StalledWatchInterval = milliseconds(100);
// Sound that has not moved on for this long while the server does not answer has been lost to
// the server; for the longer time, to whatever it is.
constexpr auto StallByServer = seconds(2);
constexpr auto StallLimit = seconds(5);

const auto ServerStoppedAnswering =
    QStringLiteral("The sound server stopped answering, so nothing can be heard. Restart it (or "
                   "log out and in again), then press the button again.");

void initGStreamer()
{
    static const bool done = [] {
        gst_init(nullptr, nullptr);
        chooseMp3Decoder();
        RateConverter::registerElement();
        return true;
    }();
    Q_UNUSED(done);
}

bool isRegularFile(const QString& path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// A library's message as the end of our sentence: with one full stop.
QString asSentenceEnd(const QString& message)
{
    return message.endsWith(QLatin1Char('.')) ? message : message + QLatin1Char('.');
}

int toInt(double value)
{
    return static_cast<int>(std::lround(value));
}

GstClockTime nanosecondsUntil(std::chrono::steady_clock::time_point until)
{
    const auto left = until - std::chrono::steady_clock::now();
    return GstClockTime(std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count()));
}

// On the pipeline's thread: the first sound ready at the sink, or a failure (a file that cannot
// be played), by `until`. What failed is closed at once.
bool prerolledBy(GstElement* pipeline, std::chrono::steady_clock::time_point until)
{
    GstState state = GST_STATE_NULL;
    if (gst_element_get_state(pipeline, &state, nullptr, nanosecondsUntil(until)) ==
            GST_STATE_CHANGE_SUCCESS &&
        state == GST_STATE_PAUSED)
        return true;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    return false;
}

} // namespace

void MediaGraph::ElementUnref::operator()(GstElement* element) const
{
    gst_element_set_state(element, GST_STATE_NULL);
    if (GstBus* bus = gst_element_get_bus(element)) {
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
    }
    gst_object_unref(element);
}

// The media library's ways in: the player's media layer finds them by these names.
extern "C" Q_DECL_EXPORT PlaybackGraph* pitchwarden_create_playback_graph()
{
    return new MediaGraph();
}

// Makes ready, on the calling thread, what the first press would otherwise make while the user
// waits: GStreamer, the plugins a press loads, the sound server's client, and the rate
// converter's filter for the server's default sink. `sample`, the head of a recording, is
// prerolled through a graph built as a press builds it, into a sink that plays nothing.
extern "C" Q_DECL_EXPORT void pitchwarden_warm_up(const char* sample, size_t size)
{
    initGStreamer();
    const QByteArray chain =
        QByteArray("audioconvert ! capsfilter caps=audio/x-raw,format=" GST_AUDIO_NE(F32) " ! ") +
        RateConverter::FactoryName + " rate=" + QByteArray::number(AudioOutput::defaultSinkRate()) +
        " ! audiopanorama ! fakesink";
    GstElement* sink = gst_parse_bin_from_description(chain.constData(), TRUE, nullptr);
    GstElement* made = sink ? gst_element_factory_make("playbin", nullptr) : nullptr;
    if (!made) {
        if (sink)
            gst_object_unref(gst_object_ref_sink(sink));
        return;
    }
    const std::unique_ptr<GstElement, void (*)(gpointer)> playbin(
        GST_ELEMENT(gst_object_ref_sink(made)), gst_object_unref);
    const std::unique_ptr<GstBuffer, void (*)(GstBuffer*)> head(gst_buffer_new_memdup(sample, size),
                                                                gst_buffer_unref);
    g_object_set(playbin.get(), "uri", "appsrc://", "audio-sink", sink, nullptr);
    g_signal_connect(playbin.get(), "source-setup",
                     G_CALLBACK(+[](GstElement*, GstElement* source, GstBuffer* buffer) {
                         GstFlowReturn pushed = GST_FLOW_OK;
                         g_signal_emit_by_name(source, "push-buffer", buffer, &pushed);
                         g_signal_emit_by_name(source, "end-of-stream", &pushed);
                     }),
                     head.get());
    gst_element_set_state(playbin.get(), GST_STATE_PAUSED);
    gst_element_get_state(playbin.get(), nullptr, nullptr, 5 * GST_SECOND);
    gst_element_set_state(playbin.get(), GST_STATE_NULL);
    if (GstElement* serverSink = gst_element_factory_make("pulsesink", nullptr))
        gst_object_unref(gst_object_ref_sink(serverSink));
}

// A graph whose pipeline may still be busy on another thread (a sink waiting for its server) is
// kept until the pipeline has closed, then deleted on the UI thread, its own. The player that
// released it hears from it no more.
void MediaGraph::release()
{
    m_notify = nullptr;
    m_watch.stop();
    if (!m_playbin) {
        delete this;
        return;
    }
    std::future<bool> closed = m_pipelineThread.call(m_playbin.get(), [](GstElement* pipeline) {
        return gst_element_set_state(pipeline, GST_STATE_NULL) != GST_STATE_CHANGE_FAILURE;
    });
    const auto wait = m_phase == Phase::Hung ? milliseconds(0) : milliseconds(500);
    if (closed.wait_for(wait) == std::future_status::ready) {
        delete this;
        return;
    }
    m_pipelineThread.post([graph = this] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [graph] { delete graph; }, Qt::QueuedConnection);
    });
}

MediaGraph::MediaGraph()
{
    initGStreamer();
    m_watch.setInterval(WatchInterval);
    QObject::connect(&m_watch, &QTimer::timeout, this, [this] { watchProgress(); });
    m_playbin.reset(gst_element_factory_make("playbin", nullptr));
    if (!m_playbin)
        return;
    gst_object_ref_sink(m_playbin.get());
    m_video.attachTo(m_playbin.get());
    GstBus* bus = gst_element_get_bus(m_playbin.get());
    gst_bus_set_sync_handler(bus, &MediaGraph::postFromStreamingThread, this, nullptr);
    gst_object_unref(bus);
}

MediaGraph::~MediaGraph()
{
    // The streaming threads use the audio output: end them before the output goes.
    m_playbin.reset();
}

namespace {

// The message a bin forwarded from one of its children, unwrapped; else the message itself.
GstMessage* forwardedOrSelf(GstMessage* message)
{
    while (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ELEMENT &&
           gst_message_has_name(message, "GstBinForwarded")) {
        const GValue* inner =
            gst_structure_get_value(gst_message_get_structure(message), "message");
        if (!inner || !G_VALUE_HOLDS(inner, GST_TYPE_MESSAGE))
            break;
        message = GST_MESSAGE(g_value_get_boxed(inner));
    }
    return message;
}

} // namespace

// Runs on the streaming threads: records what the UI thread needs in atomics, so that nothing
// depends on when a queued message is read, then wakes the UI thread.
GstBusSyncReply MediaGraph::postFromStreamingThread(GstBus*, GstMessage* message, gpointer self)
{
    auto* graph = static_cast<MediaGraph*>(self);
    // Of the messages the bins forward, only a sink's own end of stream is news.
    const GstMessage* original = forwardedOrSelf(message);
    const GstMessageType type = original != message && GST_MESSAGE_TYPE(original) != GST_MESSAGE_EOS
                                    ? GST_MESSAGE_UNKNOWN
                                    : GST_MESSAGE_TYPE(original);
    switch (type) {
    case GST_MESSAGE_EOS:
        graph->m_endOfStream = true;
        break;
    case GST_MESSAGE_ERROR:
        // The reason first: a position read that sees the flag must find the reason too.
        graph->noteOutputError(const_cast<GstMessage*>(original));
        graph->m_streamError = true;
        break;
    default:
        gst_message_unref(message);
        return GST_BUS_DROP;
    }
    // A dropped message is ours to release: kept, it would hold the whole pipeline alive.
    gst_message_unref(message);
    graph->post();
    return GST_BUS_DROP;
}

// From any thread: the UI thread looks at the graph again.
void MediaGraph::post()
{
    QCoreApplication::postEvent(this, new QEvent(NewsEvent));
}

// Runs on a streaming thread (or within a state change on the UI thread): keeps the reason of
// an error of the audio output.
void MediaGraph::noteOutputError(GstMessage* message)
{
    if (!m_output || !m_output->contains(GST_MESSAGE_SRC(message)))
        return;
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    std::lock_guard lock(m_outputErrorMutex);
    m_outputError = error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error");
    g_clear_error(&error);
}

// Why the graph hung, else the audio output's own error put into `sentence` (its %1); empty
// when neither happened.
QString MediaGraph::knownFailure(const QString& sentence) const
{
    if (!m_failure.isEmpty())
        return m_failure;
    std::lock_guard lock(m_outputErrorMutex);
    return m_outputError.isEmpty() ? QString() : sentence.arg(asSentenceEnd(m_outputError));
}

// Each failure is given once, by this or by TakeOutputLoss.
QString MediaGraph::TakeOutputProblem()
{
    if (m_failureTaken)
        return {};
    QString why = knownFailure(QStringLiteral("No sound output could be opened: %1"));
    // A file that cannot be played plays silently: no output is to blame.
    if (why.isEmpty() && m_output && rendered())
        why = m_output->problem();
    m_failureTaken = !why.isEmpty();
    return why;
}

QString MediaGraph::TakeOutputLoss()
{
    if (m_failureTaken)
        return {};
    takeStreamNews();
    QString why = knownFailure(QStringLiteral("The sound output was lost: %1"));
    // While playing, or when the stream broke off: the sound server may be gone although its
    // sink has not said so.
    const bool playing = m_phase == Phase::Open && m_runState == Running;
    if (why.isEmpty() && m_output && (playing || m_phase == Phase::BrokenOff))
        why = m_output->loss(m_phase == Phase::BrokenOff);
    m_failureTaken = !why.isEmpty();
    return why;
}

int MediaGraph::OutputRate() const
{
    return m_output && rendered() ? m_output->playbackRate() : 0;
}

double MediaGraph::HighestFrequency() const
{
    return m_output && rendered() ? m_output->highestFrequency()
                                  : std::numeric_limits<double>::infinity();
}

// News from the streaming threads or the sound server: the end of the media, a broken stream,
// a stream moved or muted at the server.
bool MediaGraph::event(QEvent* event)
{
    if (event->type() != NewsEvent)
        return QObject::event(event);
    takeStreamNews();
    followTheStream();
    if (m_notify)
        m_notify();
    return true;
}

// What the streaming threads saw becomes the graph's phase: the end of the media, or (while
// playing) a broken stream, which ends like it.
void MediaGraph::takeStreamNews()
{
    const bool ended = m_endOfStream.exchange(false);
    const bool broke = m_streamError.exchange(false);
    if (m_phase != Phase::Open)
        return;
    if (broke && m_runState == Running)
        m_phase = Phase::BrokenOff;
    else if (ended)
        m_phase = Phase::Ended;
    else
        return;
    m_watch.stop();
    // A medium of unknown length ends where playback got to: from then on that is its length,
    // so that the position reads the duration at the end like any other medium's.
    if (!m_duration) {
        gint64 reached = 0;
        gst_element_query_position(m_playbin.get(), GST_FORMAT_TIME, &reached);
        m_duration = double(std::max<gint64>(reached, 0)) / GST_SECOND;
    }
}

bool MediaGraph::rendered() const
{
    return m_phase == Phase::Open || m_phase == Phase::Ended || m_phase == Phase::BrokenOff;
}

bool MediaGraph::RenderFile(const QString& path)
{
    if (!m_playbin || m_phase != Phase::Closed || path.isEmpty() || !isRegularFile(path))
        return false;
    const QByteArray uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded();
    g_object_set(m_playbin.get(), "uri", uri.constData(), nullptr);
    m_phase = Phase::Opening;
    m_pressDeadline = Clock::now() + PressLimit;
    // The output is made for a file to play, not for a graph that only closes the last one.
    if (!m_output)
        m_output = std::make_unique<AudioOutput>([this] { post(); });
    if (!open()) {
        if (m_phase == Phase::Opening)
            m_phase = Phase::Closed;
        return false;
    }
    g_object_get(m_playbin.get(), "n-audio", &m_audioStreams, nullptr);
    gint64 nanoseconds = 0;
    if (gst_element_query_duration(m_playbin.get(), GST_FORMAT_TIME, &nanoseconds) &&
        nanoseconds > 0)
        m_duration = double(nanoseconds) / GST_SECOND;
    else
        m_duration = Mp3Duration(path);
    m_endOfStream = false;
    m_streamError = false;
    m_phase = Phase::Open;
    m_runState = Stopped;
    followTheStream();
    return true;
}

// Learns where to play, builds the output there and prerolls, then learns where the server put
// our stream. The window's events run meanwhile.
bool MediaGraph::open()
{
    switch (waitUntil([this] { return m_output->knowsWhereToPlay(); }, deadline())) {
    case Wait::Stopped:
        return false;
    case Wait::Late:
        hang(Wait::Late);
        return false;
    case Wait::Done:
    case Wait::ServerSilent: // the output plays to nowhere and says why
        break;
    }
    m_output->choose();
    AudioOutput* output = m_output.get();
    const Clock::time_point until = deadline();
    const bool prerolled = call([output, until](GstElement* pipeline) {
        if (GstElement* sink = output->build())
            g_object_set(pipeline, "audio-sink", sink, nullptr);
        return gst_element_set_state(pipeline, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE &&
               prerolledBy(pipeline, until);
    });
    if (!prerolled)
        return false;
    const Clock::time_point shown = std::min(deadline(), Clock::now() + StreamAnswerLimit);
    switch (waitUntil([this] { return m_output->knowsWhereTheStreamPlays(); }, shown)) {
    case Wait::Stopped:
        return false;
    case Wait::ServerSilent:
        hang(Wait::ServerSilent);
        return false;
    case Wait::Late: // the server does not show our stream: it plays where it plays
    case Wait::Done:
        return true;
    }
    return true;
}

// The server may put our stream on another sink than its default (one the user once moved the
// program to, or later moves it to; a headset that changes its profile): converted to another
// rate than that sink's, the stream would be converted once more by the server, which damps the
// top tones and mirrors them into the band. The sound fades out and goes on from where it was,
// made anew at the rate of the sink it plays on; before the first start, nothing is heard.
bool MediaGraph::followTheStream()
{
    const std::optional<int> rate = m_output ? m_output->rateToFollow() : std::nullopt;
    if (!rate || m_phase != Phase::Open)
        return false;
    const bool running = m_runState == Running;
    if (running) {
        m_output->fadeOut(m_playbin.get());
        if (!changeState(GST_STATE_PAUSED))
            return false;
    }
    gint64 heard = 0;
    gst_element_query_position(m_playbin.get(), GST_FORMAT_TIME, &heard);
    m_output->follow(*rate);
    return seek(m_rate, double(heard) / GST_SECOND) && (!running || changeState(GST_STATE_PLAYING));
}

// A few times a second while running: sound that no longer moves on has been lost, and the
// stream may have moved to another sink.
void MediaGraph::watchProgress()
{
    takeStreamNews();
    if (m_phase != Phase::Open || m_runState != Running) {
        m_watch.stop();
        return;
    }
    const Clock::time_point now = Clock::now();
    gint64 position = 0;
    const bool moved = gst_element_query_position(m_playbin.get(), GST_FORMAT_TIME, &position) &&
                       position != m_lastPosition;
    if (moved) {
        // Sound that moved on for less than the time since the last look stopped that much after
        // it: the stall is timed from there, not from this look.
        const auto went = std::chrono::nanoseconds(
            m_lastPosition < 0 ? 0 : gint64(double(position - m_lastPosition) / m_rate));
        m_lastMoved = went > now - m_lastLook || went.count() <= 0 ? now : m_lastLook + went;
        m_lastPosition = position;
    }
    m_lastLook = now;
    // Sound that stands still is looked at more often, so that a loss is told soon after it is
    // certain.
    m_watch.setInterval(moved ? WatchInterval : StalledWatchInterval);
    const auto still = now - m_lastMoved;
    if (still >= StallByServer && m_output->serverSilence() >= ServerAnswerLimit)
        hang(QStringLiteral("The sound output was lost: the sound server has taken no sound for "
                            "2 seconds. Restart it (or log out and in again), then press the "
                            "button again."));
    else if (still >= StallLimit)
        hang(QStringLiteral("The sound output was lost: the tone has not moved on for 5 seconds, "
                            "although the sound server answers. Press the button again; if it "
                            "happens again, restart the sound service (or log out and in "
                            "again)."));
    else
        followTheStream();
    if (m_phase == Phase::Hung && m_notify)
        m_notify();
}

// The press under way has one limit for all of its steps; any other step has its own.
MediaGraph::Clock::time_point MediaGraph::deadline() const
{
    return m_pressDeadline.value_or(Clock::now() + StepLimit);
}

// Waits until `done`, until the sound server has left a question unanswered for a second, or
// until `until`. While the graph opens, the window's events run meanwhile (and a stop ends the
// wait); at other times the thread waits, in slices, on `call` when there is one.
MediaGraph::Wait MediaGraph::waitUntil(const std::function<bool()>& done, Clock::time_point until,
                                       std::future<bool>* call)
{
    QTimer tick; // wakes the window's events to look at the server and the clock
    if (m_phase == Phase::Opening)
        tick.start(WaitSlice);
    for (;;) {
        if (done())
            return Wait::Done;
        if (m_output && m_output->serverSilence() >= ServerAnswerLimit)
            return Wait::ServerSilent;
        if (Clock::now() >= until)
            return Wait::Late;
        if (m_phase == Phase::Opening) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (m_phase != Phase::Opening)
                return Wait::Stopped;
        } else if (call) {
            call->wait_for(WaitSlice);
        } else {
            std::this_thread::sleep_for(WaitSlice);
        }
    }
}

bool MediaGraph::call(std::function<bool(GstElement*)> work)
{
    if (m_phase == Phase::Hung)
        return false;
    std::future<bool> pending = m_pipelineThread.call(m_playbin.get(), std::move(work));
    const auto finished = [&pending] {
        return pending.wait_for(milliseconds(0)) == std::future_status::ready;
    };
    const Wait outcome = waitUntil(finished, deadline(), &pending);
    if (outcome == Wait::Done)
        return pending.get();
    // A stopped opening leaves the work to finish on its own; the pipeline is closed later.
    if (outcome != Wait::Stopped)
        hang(outcome);
    return false;
}

bool MediaGraph::changeState(GstState state)
{
    return call([state](GstElement* pipeline) {
        return gst_element_set_state(pipeline, state) != GST_STATE_CHANGE_FAILURE;
    });
}

void MediaGraph::hang(Wait why)
{
    if (why == Wait::ServerSilent) {
        hang(ServerStoppedAnswering);
        return;
    }
    const auto limit = m_pressDeadline ? PressLimit : StepLimit;
    hang(QStringLiteral("The tone was given up: this computer took more than %1 seconds over it "
                        "(it is too busy, or slow to load the program's sound components). Wait "
                        "a moment, then press the button again.")
             .arg(std::chrono::duration_cast<seconds>(limit).count()));
}

// From now on the pipeline may be busy on another thread for good: it is not touched again, and
// playback counts as ended.
void MediaGraph::hang(const QString& why)
{
    m_phase = Phase::Hung;
    m_watch.stop();
    if (m_failure.isEmpty())
        m_failure = why;
    if (!m_duration)
        m_duration = 0.0;
}

bool MediaGraph::Run()
{
    takeStreamNews();
    if (m_phase != Phase::Open && m_phase != Phase::Ended)
        return false;
    if (m_runState != Running) {
        followTheStream(); // moved while it did not play
        m_output->rampUp();
    }
    if (!changeState(GST_STATE_PLAYING))
        return false;
    m_runState = Running;
    m_pressDeadline.reset();
    m_lastPosition = -1;
    m_lastMoved = m_lastLook = Clock::now();
    if (m_phase == Phase::Open)
        m_watch.start();
    return true;
}

bool MediaGraph::Pause()
{
    return haltAs(Paused);
}

// A stopped graph keeps its position; the pipeline is paused underneath.
bool MediaGraph::Stop()
{
    return haltAs(Stopped);
}

// A stop while the file opens ends the opening: the file is not played. A hung sink is not
// waited for: the graph simply counts as halted.
bool MediaGraph::haltAs(RunState state)
{
    takeStreamNews();
    if (m_phase == Phase::Opening || m_phase == Phase::Hung) {
        if (m_phase == Phase::Opening)
            m_phase = Phase::Closed;
        m_runState = state;
        return true;
    }
    if (!rendered())
        return false;
    // The sound fades out first, where there is sound to fade.
    if (m_phase == Phase::Open && m_runState == Running && hasAudio())
        m_output->fadeOut(m_playbin.get());
    if (!changeState(GST_STATE_PAUSED))
        return false;
    m_runState = state;
    m_watch.stop();
    return true;
}

std::optional<int> MediaGraph::GetState() const
{
    if (!m_playbin)
        return std::nullopt;
    return m_runState;
}

std::optional<double> MediaGraph::Duration() const
{
    return rendered() || m_phase == Phase::Hung ? m_duration : std::nullopt;
}

std::optional<double> MediaGraph::CurrentPosition()
{
    takeStreamNews();
    if (m_phase == Phase::Ended || m_phase == Phase::BrokenOff || m_phase == Phase::Hung)
        return m_duration;
    if (m_phase != Phase::Open)
        return std::nullopt;
    gint64 nanoseconds = 0;
    if (!gst_element_query_position(m_playbin.get(), GST_FORMAT_TIME, &nanoseconds))
        return std::nullopt;
    const double seconds = double(nanoseconds) / GST_SECOND;
    // Never report the end before the end of stream says so.
    return m_duration ? std::min(seconds, std::nextafter(*m_duration, 0.0)) : seconds;
}

bool MediaGraph::seek(double rate, double seconds)
{
    const auto position = static_cast<gint64>(std::llround(seconds * GST_SECOND));
    const Clock::time_point until = deadline();
    const bool sought = call([rate, position, until](GstElement* pipeline) {
        const auto flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
        if (!gst_element_seek(pipeline, rate, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET, position,
                              GST_SEEK_TYPE_NONE, 0))
            return false;
        // Let the flush finish so that the position reads the target at once.
        gst_element_get_state(pipeline, nullptr, nullptr, nanosecondsUntil(until));
        return true;
    });
    if (!sought)
        return false;
    // A seek to the end reads the end, as the end of stream does. An end of stream from before
    // the seek no longer counts.
    m_endOfStream = false;
    m_streamError = false;
    m_phase = m_duration && seconds >= *m_duration ? Phase::Ended : Phase::Open;
    m_lastPosition = -1;
    m_lastMoved = m_lastLook = Clock::now();
    if (m_phase == Phase::Open && m_runState == Running)
        m_watch.start();
    return true;
}

bool MediaGraph::SetCurrentPosition(double seconds)
{
    return rendered() && seek(m_rate, seconds);
}

std::optional<double> MediaGraph::Rate() const
{
    if (!rendered())
        return std::nullopt;
    return m_rate;
}

bool MediaGraph::SetRate(double rate)
{
    if (!rendered() || rate <= 0)
        return false;
    const double position = CurrentPosition().value_or(0);
    if (!seek(rate, position))
        return false;
    m_rate = rate;
    return true;
}

bool MediaGraph::hasAudio() const
{
    return rendered() && m_audioStreams > 0;
}

std::optional<int> MediaGraph::Volume() const
{
    if (!hasAudio())
        return std::nullopt;
    gdouble linear = 1;
    g_object_get(m_playbin.get(), "volume", &linear, nullptr);
    if (linear <= 0)
        return -10000;
    return std::max(-10000, toInt(2000 * std::log10(linear)));
}

bool MediaGraph::SetVolume(int volume)
{
    if (!hasAudio() || volume > 0 || volume < -10000)
        return false;
    const double linear = volume <= -10000 ? 0.0 : std::pow(10.0, volume / 2000.0);
    g_object_set(m_playbin.get(), "volume", linear, nullptr);
    return true;
}

std::optional<int> MediaGraph::Balance() const
{
    if (!hasAudio() || !m_output->hasBalance())
        return std::nullopt;
    return m_output->balance();
}

bool MediaGraph::SetBalance(int balance)
{
    if (!hasAudio() || !m_output->hasBalance() || balance < -10000 || balance > 10000)
        return false;
    m_output->setBalance(balance);
    return true;
}

std::optional<QSize> MediaGraph::SourceSize() const
{
    if (!rendered())
        return std::nullopt;
    GstPad* pad = nullptr;
    g_signal_emit_by_name(m_playbin.get(), "get-video-pad", 0, &pad);
    if (!pad)
        return std::nullopt;
    std::optional<QSize> size;
    if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
        const GstStructure* structure = gst_caps_get_structure(caps, 0);
        int width = 0;
        int height = 0;
        if (gst_structure_get_int(structure, "width", &width) &&
            gst_structure_get_int(structure, "height", &height))
            size = QSize(width, height);
        gst_caps_unref(caps);
    }
    gst_object_unref(pad);
    return size;
}

bool MediaGraph::SetVideoWindow(VideoWindow setting, qint32 value)
{
    return SourceSize() && m_video.set(setting, value);
}
