#include "media/mediagraph.h"

#include <cmath>
#include <limits>

#include <sys/stat.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include "media/decoderchoice.h"
#include "media/mp3duration.h"
#include "media/pipelinecall.h"
#include "media/rateconverter.h"

namespace {

using std::chrono::milliseconds;

const QEvent::Type BusEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
constexpr GstClockTime PrerollTimeout = 3 * GST_SECOND;
// Opening (the sink's connection to the sound server and the preroll), seeking and starting take
// a healthy sink milliseconds; a sink that takes a second waits for a server that does not answer.
constexpr milliseconds SinkTimeout{1000};
// A stop first waits up to a quarter of a second for its fade: together under a second. Closing
// follows a stop.
constexpr milliseconds StopTimeout{500};
// A running sink whose position has not moved for this long takes no sound.
constexpr auto StallTimeout = std::chrono::seconds(2);
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

// The media library's way in: the player's media layer finds it by this name.
extern "C" Q_DECL_EXPORT PlaybackGraph* pitchwarden_create_playback_graph()
{
    return new MediaGraph();
}

// A graph whose pipeline may still be busy on another thread (a sink waiting for its server) is
// kept until the pipeline has closed, then deleted on the UI thread, its own.
void MediaGraph::release()
{
    if (!m_playbin) {
        delete this;
        return;
    }
    PipelineCall close(m_playbin.get(), [](GstElement* pipeline) {
        return gst_element_set_state(pipeline, GST_STATE_NULL) != GST_STATE_CHANGE_FAILURE;
    });
    if (close.wait(m_hung ? milliseconds(0) : StopTimeout)) {
        delete this;
        return;
    }
    close.whenDone([graph = this] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [graph] { delete graph; }, Qt::QueuedConnection);
    });
}

MediaGraph::MediaGraph()
{
    initGStreamer();
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

// Fades the sound out before the pipeline pauses, where there is sound to fade.
void MediaGraph::fadeOutBeforePausing()
{
    if (m_hung || m_state != Running || m_atEnd || endOfStreamSeen() || !hasAudio())
        return;
    m_output->fadeOut(m_playbin.get());
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
    // A dropped message is ours to release: kept, it would hold the whole pipeline alive.
    gst_message_unref(message);
    switch (type) {
    case GST_MESSAGE_EOS:
        graph->m_endOfStream = true;
        break;
    case GST_MESSAGE_ERROR:
        // The reason first: a position read that sees the flag must find the reason too.
        graph->noteOutputError(const_cast<GstMessage*>(original));
        graph->m_streamError = true;
        break;
    case GST_MESSAGE_STATE_CHANGED:
    case GST_MESSAGE_ASYNC_DONE:
        break;
    default:
        return GST_BUS_DROP;
    }
    QCoreApplication::postEvent(graph, new QEvent(BusEvent));
    return GST_BUS_DROP;
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

QString MediaGraph::TakeOutputProblem()
{
    if (m_outputFailureTaken)
        return {};
    QString why = knownFailure(QStringLiteral("No sound output could be opened: %1"));
    // A file that cannot be played plays silently: no output is to blame.
    if (why.isEmpty() && m_output && m_rendered)
        why = m_output->problem();
    m_outputFailureTaken = !why.isEmpty();
    return why;
}

QString MediaGraph::TakeOutputLoss()
{
    if (m_outputFailureTaken || !m_ran)
        return {};
    QString why = knownFailure(QStringLiteral("The sound output was lost: %1"));
    // While playing, or when the stream broke off: the sound server may be gone although its
    // sink has not said so.
    if (why.isEmpty() && m_output && ((m_state == Running && !m_atEnd) || m_brokeOff))
        why = m_output->loss(m_brokeOff);
    m_outputFailureTaken = !why.isEmpty();
    return why;
}

int MediaGraph::OutputRate() const
{
    return m_output && m_rendered ? m_output->playbackRate() : 0;
}

double MediaGraph::HighestFrequency() const
{
    return m_output && m_rendered ? m_output->highestFrequency()
                                  : std::numeric_limits<double>::infinity();
}

bool MediaGraph::event(QEvent* event)
{
    if (event->type() != BusEvent)
        return QObject::event(event);
    dispatch();
    if (m_notify)
        m_notify();
    return true;
}

void MediaGraph::dispatch()
{
    if (m_endOfStream.exchange(false))
        m_atEnd = true;
    // A broken stream ends like the end of the media: the position reads the duration.
    if (m_streamError.exchange(false) && m_state == Running) {
        m_atEnd = true;
        m_brokeOff = true;
    }
    // A medium of unknown length ends where playback got to: from then on that is its length,
    // so that the position reads the duration at the end like any other medium's.
    if (m_atEnd && !m_duration) {
        gint64 reached = 0;
        gst_element_query_position(m_playbin.get(), GST_FORMAT_TIME, &reached);
        m_duration = double(std::max<gint64>(reached, 0)) / GST_SECOND;
    }
}

bool MediaGraph::endOfStreamSeen() const
{
    return m_endOfStream || m_streamError;
}

bool MediaGraph::RenderFile(const QString& path)
{
    if (!m_playbin || path.isEmpty() || !isRegularFile(path))
        return false;
    const QByteArray uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded();
    g_object_set(m_playbin.get(), "uri", uri.constData(), nullptr);
    // The output is made for a file to play, not for a graph that only closes the last one: it
    // asks the sound server for the rate it plays at now.
    if (!m_output) {
        m_output = std::make_unique<AudioOutput>();
        if (m_output->element())
            g_object_set(m_playbin.get(), "audio-sink", m_output->element(), nullptr);
    }
    const bool prerolled = call(
        [](GstElement* pipeline) {
            GstState state = GST_STATE_NULL;
            if (gst_element_set_state(pipeline, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE &&
                gst_element_get_state(pipeline, &state, nullptr, PrerollTimeout) ==
                    GST_STATE_CHANGE_SUCCESS &&
                state == GST_STATE_PAUSED)
                return true;
            gst_element_set_state(pipeline, GST_STATE_NULL);
            return false;
        },
        SinkTimeout);
    if (!prerolled)
        return false;
    if (m_output)
        m_output->awaitStream();
    g_object_get(m_playbin.get(), "n-audio", &m_audioStreams, nullptr);
    gint64 nanoseconds = 0;
    if (gst_element_query_duration(m_playbin.get(), GST_FORMAT_TIME, &nanoseconds) &&
        nanoseconds > 0)
        m_duration = double(nanoseconds) / GST_SECOND;
    else
        m_duration = Mp3Duration(path);
    m_rendered = true;
    m_state = Stopped;
    m_ran = false;
    m_atEnd = false;
    m_endOfStream = false;
    m_streamError = false;
    return true;
}

bool MediaGraph::Run()
{
    if (!m_rendered || m_hung)
        return false;
    if (m_state != Running)
        m_output->rampUp();
    m_ran = true;
    m_lastPosition = -1;
    m_lastProgress = std::chrono::steady_clock::now();
    if (!changeState(GST_STATE_PLAYING, SinkTimeout))
        return false;
    m_state = Running;
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

bool MediaGraph::haltAs(RunState state)
{
    if (!m_rendered)
        return false;
    // A hung sink is not waited for: the graph simply counts as halted.
    if (m_hung) {
        m_state = state;
        return true;
    }
    fadeOutBeforePausing();
    if (!changeState(GST_STATE_PAUSED, StopTimeout))
        return false;
    m_state = state;
    return true;
}

bool MediaGraph::call(std::function<bool(GstElement*)> work, milliseconds timeout)
{
    if (m_hung)
        return false;
    PipelineCall pending(m_playbin.get(), std::move(work));
    const auto done = pending.wait(timeout);
    if (!done)
        hang(QStringLiteral("The sound server stopped answering, so nothing can be heard. Restart "
                            "it (or log out and in again), then press the button again."));
    return done.value_or(false);
}

bool MediaGraph::changeState(GstState state, milliseconds timeout)
{
    return call(
        [state](GstElement* pipeline) {
            return gst_element_set_state(pipeline, state) != GST_STATE_CHANGE_FAILURE;
        },
        timeout);
}

// From now on the pipeline may be busy on another thread for good: it is not touched again, and
// playback counts as ended.
void MediaGraph::hang(const QString& why)
{
    m_hung = true;
    m_atEnd = true;
    if (m_failure.isEmpty())
        m_failure = why;
    if (!m_duration)
        m_duration = 0.0;
}

std::optional<int> MediaGraph::GetState() const
{
    if (!m_playbin)
        return std::nullopt;
    return m_state;
}

std::optional<double> MediaGraph::Duration() const
{
    return m_rendered ? m_duration : std::nullopt;
}

std::optional<double> MediaGraph::CurrentPosition()
{
    if (!m_rendered)
        return std::nullopt;
    // The end of stream counts from the moment a streaming thread saw it.
    if ((m_atEnd || (m_state == Running && endOfStreamSeen())) && m_duration)
        return m_duration;
    gint64 nanoseconds = 0;
    if (!gst_element_query_position(m_playbin.get(), GST_FORMAT_TIME, &nanoseconds))
        return std::nullopt;
    if (m_state == Running && !endOfStreamSeen()) {
        const auto now = std::chrono::steady_clock::now();
        if (nanoseconds != m_lastPosition) {
            m_lastPosition = nanoseconds;
            m_lastProgress = now;
        } else if (now - m_lastProgress >= StallTimeout) {
            hang(QStringLiteral("The sound output was lost: the sound server has taken no sound "
                                "for 2 seconds. Restart it (or log out and in again), then press "
                                "the button again."));
            return m_duration;
        }
    }
    const double seconds = double(nanoseconds) / GST_SECOND;
    // Never report the end before the end of stream says so.
    return m_duration ? std::min(seconds, std::nextafter(*m_duration, 0.0)) : seconds;
}

bool MediaGraph::seek(double rate, double seconds)
{
    const auto position = static_cast<gint64>(std::llround(seconds * GST_SECOND));
    const bool sought = call(
        [rate, position](GstElement* pipeline) {
            const auto flags =
                static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
            if (!gst_element_seek(pipeline, rate, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET,
                                  position, GST_SEEK_TYPE_NONE, 0))
                return false;
            // Let the flush finish so that the position reads the target at once.
            gst_element_get_state(pipeline, nullptr, nullptr, PrerollTimeout);
            return true;
        },
        SinkTimeout);
    if (!sought)
        return false;
    // A seek to the end reads the end, as the end of stream does. An end of stream from before
    // the seek no longer counts.
    m_endOfStream = false;
    m_streamError = false;
    m_atEnd = m_duration && seconds >= *m_duration;
    m_lastPosition = -1;
    m_lastProgress = std::chrono::steady_clock::now();
    return true;
}

bool MediaGraph::SetCurrentPosition(double seconds)
{
    return m_rendered && seek(m_rate, seconds);
}

std::optional<double> MediaGraph::Rate() const
{
    if (!m_rendered)
        return std::nullopt;
    return m_rate;
}

bool MediaGraph::SetRate(double rate)
{
    if (!m_rendered || rate <= 0)
        return false;
    const double position = CurrentPosition().value_or(0);
    if (!seek(rate, position))
        return false;
    m_rate = rate;
    return true;
}

bool MediaGraph::hasAudio() const
{
    return m_rendered && !m_hung && m_audioStreams > 0;
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

std::optional<QSize> MediaGraph::videoSize() const
{
    if (!m_rendered || m_hung)
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

std::optional<int> MediaGraph::SourceWidth() const
{
    const auto size = videoSize();
    return size ? std::optional(size->width()) : std::nullopt;
}

std::optional<int> MediaGraph::SourceHeight() const
{
    const auto size = videoSize();
    return size ? std::optional(size->height()) : std::nullopt;
}

bool MediaGraph::SetWindowStyle(qint32 style)
{
    return videoSize() && m_video.SetWindowStyle(style);
}

bool MediaGraph::SetWindowTop(qint32 top)
{
    return videoSize() && m_video.SetTop(top);
}

bool MediaGraph::SetWindowLeft(qint32 left)
{
    return videoSize() && m_video.SetLeft(left);
}

bool MediaGraph::SetWindowWidth(qint32 width)
{
    return videoSize() && m_video.SetWidth(width);
}

bool MediaGraph::SetWindowHeight(qint32 height)
{
    return videoSize() && m_video.SetHeight(height);
}

bool MediaGraph::SetWindowOwner(qint32 owner)
{
    return videoSize() && m_video.SetOwner(owner);
}

bool MediaGraph::SetWindowVisible(bool visible)
{
    return videoSize() && m_video.SetVisible(visible);
}
