#include "media/audiooutput.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

#include <QByteArray>
#include <QCoreApplication>

#include <gst/audio/audio.h>
#include <gst/base/gstbasetransform.h>

#include "media/rateconverter.h"
#include "media/soundcard.h"

namespace {

using std::chrono::milliseconds;

// How long a stop may wait for its fade to reach the listener when the sink stalls.
constexpr auto FadeTimeout = milliseconds(250);
// Heard a little past the last ramped sample, in case the sink's clock runs ahead.
constexpr gint64 FadeMargin = 5 * GST_MSECOND;
// After the stream broke off: how long the connection may take to see the server gone too.
constexpr auto LossNoticeTimeout = milliseconds(100);
// The recordings' rate: asked of a sound card, it plays them unconverted where it can.
constexpr int RecordingRate = 44100;

// With less buffered, the sound server ran dry when both cores were busy (gaps of 4 ms to 2 s in
// the tone, each edge a click; 20 ms dropped out even when idle, 60 ms under load), and at 60 ms a
// tone played beside GNOME's compositor dipped 2.5-3.3 dB for 10 ms in every run. The price: a
// stop is heard about 100 ms after it is asked for, since the buffered sound fades first.
constexpr int PulseBufferMicroseconds = 100000;
constexpr int PulseLatencyMicroseconds = 20000;

// The server buffer's length, or PITCHWARDEN_SERVER_BUFFER_MS for benchmarks that compare
// lengths; the segments stay 20 ms, at least two of them.
gint64 pulseBufferMicroseconds()
{
    bool given = false;
    const int ms = qEnvironmentVariableIntValue("PITCHWARDEN_SERVER_BUFFER_MS", &given);
    return given && ms > 0 ? gint64(ms) * 1000 : PulseBufferMicroseconds;
}

GstElement* makeElement(const char* factory)
{
    return gst_element_factory_make(factory, nullptr);
}

// Tells our stream apart from every other at the server, earlier ones of ours included.
QString newStreamTag()
{
    static std::atomic<int> serial = 0;
    return QStringLiteral("%1.%2").arg(QCoreApplication::applicationPid()).arg(++serial);
}

int negotiatedRate(GstElement* element, const char* padName)
{
    int rate = 0;
    GstPad* pad = element ? gst_element_get_static_pad(element, padName) : nullptr;
    if (!pad)
        return 0;
    if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
        gst_structure_get_int(gst_caps_get_structure(caps, 0), "rate", &rate);
        gst_caps_unref(caps);
    }
    gst_object_unref(pad);
    return rate;
}

// What keeps the sink our stream plays on (or else the default sink) silent, as what to tell the
// user: before the tone, or when it fell silent during it; empty when nothing does.
QString silenceIn(const ServerState& state, bool duringTone)
{
    const ServerSink* sink = state.stream        ? &state.stream->sink
                             : state.defaultSink ? &*state.defaultSink
                                                 : nullptr;
    const QString is = duringTone ? QStringLiteral("was") : QStringLiteral("is");
    const QString when = duringTone ? QStringLiteral(" during the tone") : QString();
    const QString again = QStringLiteral(", then press the button again.");
    if (sink && sink->muted)
        return QStringLiteral("The sound output %1 muted%2. Unmute it").arg(is, when) + again;
    if (state.stream && state.stream->muted)
        return QStringLiteral("The sound of this program %1 muted in the sound settings%2. Unmute "
                              "it there")
                   .arg(is, when) +
               again;
    if ((sink && sink->silent) || (state.stream && state.stream->silent))
        return QStringLiteral("The sound output's volume %1 zero%2. Turn it up a little")
                   .arg(duringTone ? QStringLiteral("was turned to") : QStringLiteral("is at"),
                        when) +
               again;
    return {};
}

} // namespace

// A test's sink stands for the server's only where the test stands in for the server too.
AudioOutput::AudioOutput(std::function<void()> changed)
{
    if (qEnvironmentVariableIsEmpty("PITCHWARDEN_AUDIO_SINK") || SoundServer::hasStandIn())
        m_server = std::make_unique<SoundServer>(newStreamTag(), std::move(changed));
}

int AudioOutput::defaultSinkRate()
{
    std::mutex mutex;
    std::condition_variable answered;
    SoundServer server(newStreamTag(), [&] {
        const std::lock_guard lock(mutex);
        answered.notify_all();
    });
    std::unique_lock lock(mutex);
    answered.wait_for(lock, std::chrono::seconds(1),
                      [&] { return server.state().answer != ServerState::Waiting; });
    const ServerState state = server.state();
    return state.defaultSink ? state.defaultSink->rate : 0;
}

bool AudioOutput::knowsWhereToPlay() const
{
    return !m_server || m_server->state().answer != ServerState::Waiting;
}

// Before its first answer, the server owes us the connection itself. Once the output is built,
// only a sink of the server's waits for it.
std::chrono::milliseconds AudioOutput::serverSilence() const
{
    if (!m_server || (m_chosen && m_chosen->answer != ServerState::Answered))
        return milliseconds(0);
    const ServerState now = m_server->state();
    if (now.answer == ServerState::Waiting)
        return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - m_asked);
    return now.answer == ServerState::Answered ? now.unanswered : milliseconds(0);
}

void AudioOutput::choose()
{
    if (m_chosen)
        return;
    m_chosen = m_server ? m_server->state() : ServerState();
    if (!m_server)
        m_chosen->answer = ServerState::NoServer;
}

GstElement* AudioOutput::build()
{
    if (m_bin)
        return m_bin.get();
    if (GstElement* sink = makeSink())
        assemble(sink);
    return m_bin.get();
}

// What PITCHWARDEN_AUDIO_SINK describes (tests use sinks that need no sound card); else the
// sound server's sink, at the rate of its default sink; else, where there is no server, the
// sound card. A server that does not answer, or has no sink, gets a sink that plays to nowhere:
// trying its sink again would wait for it without a limit.
GstElement* AudioOutput::makeSink()
{
    if (m_chosen->answer == ServerState::Answered)
        m_rate = m_chosen->defaultSink->rate;
    if (const QByteArray description = qgetenv("PITCHWARDEN_AUDIO_SINK"); !description.isEmpty()) {
        GError* error = nullptr;
        GstElement* bin = gst_parse_bin_from_description(description.constData(), TRUE, &error);
        g_clear_error(&error);
        if (bin)
            return bin;
    }
    switch (m_chosen->answer) {
    case ServerState::Answered:
        return makeServerSink();
    case ServerState::NoServer:
    case ServerState::Lost:
        if (GstElement* card = makeCardSink())
            return card;
        break;
    case ServerState::Waiting:
    case ServerState::NoDefaultSink:
        break;
    }
    GstElement* nowhere = makeElement("fakesink");
    if (nowhere)
        g_object_set(nowhere, "sync", TRUE, nullptr);
    return nowhere;
}

GstElement* AudioOutput::makeServerSink()
{
    GstElement* pulse = makeElement("pulsesink");
    if (!pulse)
        return nullptr;
    // Small buffering, so that sound starts and ends close to when the program says.
    const gint64 buffer = pulseBufferMicroseconds();
    g_object_set(pulse, "buffer-time", buffer, "latency-time",
                 std::min(gint64(PulseLatencyMicroseconds), buffer / 2), nullptr);
    // The tag lets the server connection find our stream among the others.
    GstStructure* properties =
        gst_structure_new("properties", SoundServer::StreamTagKey, G_TYPE_STRING,
                          m_server->streamTag().toUtf8().constData(), nullptr);
    g_object_set(pulse, "stream-properties", properties, nullptr);
    gst_structure_free(properties);
    m_serverSink = pulse;
    return pulse;
}

// The card's own rate, so that ALSA converts nothing.
GstElement* AudioOutput::makeCardSink()
{
    const SoundCard card = SoundCard::probe(RecordingRate);
    GstElement* sink = card.rate > 0 ? makeElement("alsasink") : nullptr;
    if (!sink) {
        m_noCard =
            card.rate > 0 ? QStringLiteral("GStreamer's ALSA output is not installed") : card.error;
        return nullptr;
    }
    g_object_set(sink, "device", SoundCard::Device, nullptr);
    m_rate = card.rate;
    return sink;
}

bool AudioOutput::knowsWhereTheStreamPlays() const
{
    if (!m_server || m_chosen->answer != ServerState::Answered)
        return true;
    const ServerState now = m_server->state();
    return now.stream.has_value() || now.answer != ServerState::Answered;
}

std::optional<int> AudioOutput::rateToFollow() const
{
    if (!m_server || m_chosen->answer != ServerState::Answered || !m_converter)
        return std::nullopt;
    const ServerState now = m_server->state();
    if (!now.stream || now.stream->sink.rate <= 0 || now.stream->sink.rate == m_rate)
        return std::nullopt;
    return now.stream->sink.rate;
}

// The sink makes its stream anew for the new rate: named, the sink it plays on keeps it, whether
// the server put it there from what it remembered or the user moved it.
void AudioOutput::follow(int rate)
{
    if (!m_converter)
        return;
    if (m_serverSink && m_server)
        if (const auto stream = m_server->state().stream; stream && !stream->sink.name.isEmpty())
            g_object_set(m_serverSink, "device", stream->sink.name.toUtf8().constData(), nullptr);
    m_rate = rate;
    g_object_set(m_converter, "rate", rate, nullptr);
    gst_base_transform_reconfigure_src(GST_BASE_TRANSFORM(m_converter));
}

QString AudioOutput::problem() const
{
    if (!m_bin)
        return QStringLiteral("No sound output could be opened: the audio output could not be "
                              "built.");
    switch (m_chosen->answer) {
    case ServerState::Waiting:
        if (!m_server)
            break;
        return QStringLiteral("The sound server does not answer, so nothing can be heard. "
                              "Restart it (or log out and in again), then press the button "
                              "again.");
    case ServerState::NoDefaultSink:
        return QStringLiteral("The sound server has no output to play to. Connect a sound device "
                              "or choose an output in the sound settings, then press the button "
                              "again.");
    case ServerState::Answered:
        return silenceIn(m_server->state(), false);
    case ServerState::NoServer:
    case ServerState::Lost:
        break;
    }
    if (m_noCard.isEmpty())
        return {};
    return QStringLiteral("No sound output could be opened: there is no sound server (%1) and no "
                          "audio device could be opened (%2). Start the desktop's sound service or "
                          "connect a sound device, then press the button again.")
        .arg(m_chosen->reason, m_noCard);
}

QString AudioOutput::loss(bool brokeOff) const
{
    if (!m_server || m_chosen->answer != ServerState::Answered)
        return {};
    ServerState now = m_server->state();
    // The sink's error can come a moment before our own connection sees the server go.
    const auto deadline = std::chrono::steady_clock::now() + LossNoticeTimeout;
    while (brokeOff && now.answer == ServerState::Answered &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(2));
        now = m_server->state();
    }
    if (now.answer != ServerState::Answered)
        return QStringLiteral("The sound output was lost: the sound server stopped answering (%1). "
                              "Press the button again once sound works.")
            .arg(now.reason);
    return silenceIn(now, true);
}

int AudioOutput::playbackRate() const
{
    int rate = negotiatedRate(m_converter, "src");
    if (m_server && m_chosen->answer == ServerState::Answered) {
        const ServerState now = m_server->state();
        if (now.stream && now.stream->sink.rate > 0)
            rate = rate > 0 ? std::min(rate, now.stream->sink.rate) : now.stream->sink.rate;
    }
    return rate;
}

double AudioOutput::highestFrequency() const
{
    const int source = negotiatedRate(m_converter, "sink");
    const int playback = playbackRate();
    if (source <= 0 || playback <= 0)
        return std::numeric_limits<double>::infinity();
    return RateConverter::PassbandTop(source, playback);
}

bool AudioOutput::contains(GstObject* source) const
{
    return m_bin && source &&
           (source == GST_OBJECT(m_bin.get()) ||
            gst_object_has_as_ancestor(source, GST_OBJECT(m_bin.get())));
}

// Float samples through the rate converter (before any upmix: a mono recording is converted
// once), the balance, then the gain ramp right before the sink.
void AudioOutput::assemble(GstElement* sink)
{
    GstElement* convert = makeElement("audioconvert");
    GstElement* filter = makeElement("capsfilter");
    GstElement* converter = makeElement(RateConverter::FactoryName);
    if (!convert || !filter || !converter) {
        for (GstElement* element : {sink, convert, filter, converter})
            if (element)
                gst_object_unref(gst_object_ref_sink(element));
        m_serverSink = nullptr;
        return;
    }
    GstCaps* caps =
        gst_caps_from_string("audio/x-raw,format=" GST_AUDIO_NE(F32) ",layout=interleaved");
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    g_object_set(converter, "rate", m_rate, nullptr);
    m_converter = converter;
    m_panorama = makeElement("audiopanorama");
    if (m_panorama)
        g_object_set(m_panorama, "method", 1, nullptr); // simple: attenuate the other channel

    m_bin.reset(GST_ELEMENT(gst_object_ref_sink(gst_bin_new("audio-output"))));
    // The sink's own end-of-stream reaches the bus as a forwarded message: the pipeline's
    // summary of its sinks is sometimes never posted when a short stream ends right as the
    // pipeline starts playing, which would leave the tone waiting for good.
    g_object_set(m_bin.get(), "message-forward", TRUE, nullptr);
    if (GST_IS_BIN(sink))
        g_object_set(sink, "message-forward", TRUE, nullptr);
    GstElement* last = m_panorama ? m_panorama : converter;
    gst_bin_add_many(GST_BIN(m_bin.get()), convert, filter, converter, sink, nullptr);
    if (m_panorama)
        gst_bin_add(GST_BIN(m_bin.get()), m_panorama);
    gst_element_link_many(convert, filter, converter, nullptr);
    if (m_panorama)
        gst_element_link(converter, m_panorama);
    gst_element_link(last, sink);

    GstPad* input = gst_element_get_static_pad(convert, "sink");
    gst_element_add_pad(m_bin.get(), gst_ghost_pad_new("sink", input));
    gst_object_unref(input);
    GstPad* output = gst_element_get_static_pad(last, "src");
    gst_pad_add_probe(output,
                      GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                      &AudioOutput::onOutput, this, nullptr);
    gst_object_unref(output);
}

void AudioOutput::setBalance(int balance)
{
    if (!m_panorama)
        return;
    const double keep = std::pow(10.0, -std::abs(balance) / 2000.0);
    const double panorama = balance >= 0 ? 1.0 - keep : keep - 1.0;
    g_object_set(m_panorama, "panorama", gfloat(panorama), nullptr);
    m_balance = balance;
}

// Runs on the streaming thread. After a flush (every seek, the one before each play included)
// the sound starts anew: it rises from silence again, or the first buffer after the seek would
// start at full level while the rise was spent on the sound the seek threw away.
GstPadProbeReturn AudioOutput::onOutput(GstPad* pad, GstPadProbeInfo* info, gpointer self)
{
    auto* output = static_cast<AudioOutput*>(self);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
        if (output->m_ramp.open()) // most of the time: the buffer goes on untouched
            return GST_PAD_PROBE_OK;
        GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
        output->rampBuffer(pad, buffer);
    } else if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_FLUSH_STOP) {
        output->m_ramp.restart();
    }
    return GST_PAD_PROBE_OK;
}

// Applies the gain ramp to the buffer in place, and notes when a ramp down reached silence.
void AudioOutput::rampBuffer(GstPad* pad, GstBuffer* buffer)
{
    GstCaps* caps = gst_pad_get_current_caps(pad);
    GstAudioInfo format;
    const bool known = caps && gst_audio_info_from_caps(&format, caps);
    if (caps)
        gst_caps_unref(caps);
    GstMapInfo map;
    if (!known || !gst_buffer_map(buffer, &map, GST_MAP_READWRITE))
        return;
    const int channels = GST_AUDIO_INFO_CHANNELS(&format);
    const int frames = static_cast<int>(map.size / sizeof(float) / std::max(1, channels));
    const int rate = GST_AUDIO_INFO_RATE(&format);
    const int silentFrom =
        m_ramp.process(reinterpret_cast<float*>(map.data), frames, channels, rate);
    gst_buffer_unmap(buffer, &map);
    if (silentFrom < 0)
        return;
    const GstClockTime start = GST_BUFFER_PTS(buffer);
    // Without a time stamp, the whole of the sink's buffering must be waited out.
    m_silentFrom =
        GST_CLOCK_TIME_IS_VALID(start)
            ? gint64(start + gst_util_uint64_scale_int(GstClockTime(silentFrom), GST_SECOND, rate))
            : gint64(0);
}

void AudioOutput::fadeOut(GstElement* pipeline)
{
    m_silentFrom = -1;
    m_ramp.rampDown();
    const auto deadline = std::chrono::steady_clock::now() + FadeTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const gint64 silentFrom = m_silentFrom;
        gint64 heard = 0;
        if (silentFrom >= 0 && gst_element_query_position(pipeline, GST_FORMAT_TIME, &heard) &&
            heard >= silentFrom + FadeMargin)
            return;
        std::this_thread::sleep_for(milliseconds(2));
    }
}
