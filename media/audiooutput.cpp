#include "media/audiooutput.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include <QByteArray>
#include <QCoreApplication>

#include <gst/audio/audio.h>

#include "media/rateconverter.h"

namespace {

// How long a stop may wait for its fade to reach the listener when the sink stalls.
constexpr auto FadeTimeout = std::chrono::milliseconds(250);
// Heard a little past the last ramped sample, in case the sink's clock runs ahead.
constexpr gint64 FadeMargin = 5 * GST_MSECOND;
// A server that has not answered by then is taken as one that does not answer: the window
// goes on meanwhile, and the press says so instead of waiting for the client library's own
// limit (half a minute).
constexpr int ServerAnswerMilliseconds = 1000;
// Our stream shows at the server within milliseconds of the graph opening it.
constexpr int StreamAnswerMilliseconds = 1000;
// After the stream broke off: how long the connection may take to see the server gone too.
constexpr auto LossNoticeTimeout = std::chrono::milliseconds(100);

// With less buffered, the sound server ran dry when both cores were busy (gaps of 4 ms to 2 s in
// the tone, each edge a click; 20 ms dropped out even when idle, 60 ms under load). The price:
// a stop is heard about 100 ms after it is asked for, since the buffered sound fades first.
constexpr int PulseBufferMicroseconds = 100000;
constexpr int PulseLatencyMicroseconds = 20000;

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

enum class Silence
{
    None,
    SinkMuted,
    StreamMuted,
    VolumeZero
};

// What keeps the sink our stream plays on (or else the default sink) silent.
Silence silenceIn(const ServerState& state)
{
    const ServerSink* sink = state.stream        ? &state.stream->sink
                             : state.defaultSink ? &*state.defaultSink
                                                 : nullptr;
    if (sink && sink->muted)
        return Silence::SinkMuted;
    if (state.stream && state.stream->muted)
        return Silence::StreamMuted;
    if ((sink && sink->silent) || (state.stream && state.stream->silent))
        return Silence::VolumeZero;
    return Silence::None;
}

// What to tell the user about a silent output, before the tone or when it fell silent during it.
QString silenceMessage(Silence silence, bool duringTone)
{
    switch (silence) {
    case Silence::SinkMuted:
        return duringTone ? QStringLiteral("The sound output was muted during the tone. Unmute it, "
                                           "then press the button again.")
                          : QStringLiteral("The sound output is muted. Unmute it, then press the "
                                           "button again.");
    case Silence::StreamMuted:
        return duringTone ? QStringLiteral("The sound of this program was muted in the sound "
                                           "settings during the tone. Unmute it there, then press "
                                           "the button again.")
                          : QStringLiteral("The sound of this program is muted in the sound "
                                           "settings. Unmute it there, then press the button "
                                           "again.");
    case Silence::VolumeZero:
        return duringTone ? QStringLiteral("The sound output's volume was turned to zero during "
                                           "the tone. Turn it up a little, then press the button "
                                           "again.")
                          : QStringLiteral("The sound output's volume is at zero. Turn it up a "
                                           "little, then press the button again.");
    case Silence::None:
        break;
    }
    return {};
}

bool answered(const ServerState& state)
{
    return state.answer != ServerState::Waiting;
}

} // namespace

AudioOutput::AudioOutput()
{
    GstElement* sink = makeSink();
    if (sink)
        build(sink);
}

// What PITCHWARDEN_AUDIO_SINK describes (tests use sinks that need no sound card); else the
// sound server's sink, at the rate it plays; else, where there is no server, whatever the
// desktop offers. A server that does not answer, or has no sink, gets a sink that plays to
// nowhere: trying its sink again would wait for it without a limit.
GstElement* AudioOutput::makeSink()
{
    const QByteArray description = qgetenv("PITCHWARDEN_AUDIO_SINK");
    // A test's sink stands for the server's only where the test stands in for the server too.
    if (description.isEmpty() || SoundServer::hasStandIn()) {
        m_server = std::make_unique<SoundServer>(newStreamTag());
        m_answer = m_server->awaitState(answered, ServerAnswerMilliseconds);
        if (m_answer.answer == ServerState::Answered)
            m_rate = m_answer.defaultSink->rate;
    }
    if (!description.isEmpty()) {
        GError* error = nullptr;
        GstElement* bin = gst_parse_bin_from_description(description.constData(), TRUE, &error);
        if (error)
            g_error_free(error);
        if (bin)
            return bin;
    }
    switch (m_answer.answer) {
    case ServerState::Answered:
        return makeServerSink();
    case ServerState::NoServer:
    case ServerState::Lost:
        m_fallback = makeElement("autoaudiosink");
        return m_fallback;
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
    g_object_set(pulse, "buffer-time", gint64(PulseBufferMicroseconds), "latency-time",
                 gint64(PulseLatencyMicroseconds), nullptr);
    // The tag lets the server connection find our stream among the others.
    GstStructure* properties =
        gst_structure_new("properties", SoundServer::StreamTagKey, G_TYPE_STRING,
                          m_server->streamTag().toUtf8().constData(), nullptr);
    g_object_set(pulse, "stream-properties", properties, nullptr);
    gst_structure_free(properties);
    return pulse;
}

void AudioOutput::awaitStream()
{
    if (!m_server || m_answer.answer != ServerState::Answered)
        return;
    m_server->awaitState(
        [](const ServerState& state) {
            return state.stream.has_value() || state.answer != ServerState::Answered;
        },
        StreamAnswerMilliseconds);
}

// The automatic choice plays into a fake sink when it finds no device it can open.
bool AudioOutput::playsToNowhere() const
{
    if (!m_fallback)
        return false;
    bool nowhere = false;
    GstIterator* children = gst_bin_iterate_elements(GST_BIN(m_fallback));
    GValue child = G_VALUE_INIT;
    while (gst_iterator_next(children, &child) == GST_ITERATOR_OK) {
        GstElementFactory* factory =
            gst_element_get_factory(GST_ELEMENT(g_value_get_object(&child)));
        if (factory && g_str_equal(gst_plugin_feature_get_name(factory), "fakesink"))
            nowhere = true;
        g_value_reset(&child);
    }
    g_value_unset(&child);
    gst_iterator_free(children);
    return nowhere;
}

QString AudioOutput::problem() const
{
    if (!m_bin)
        return QStringLiteral("No sound output could be opened: the audio output could not be "
                              "built.");
    switch (m_answer.answer) {
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
        return silenceMessage(silenceIn(m_server->state()), false);
    case ServerState::NoServer:
    case ServerState::Lost:
        break;
    }
    if (!playsToNowhere())
        return {};
    return QStringLiteral("No sound output could be opened: there is no sound server (%1) and no "
                          "audio device could be opened. Start the desktop's sound service or "
                          "connect a sound device, then press the button again.")
        .arg(m_answer.reason);
}

QString AudioOutput::loss(bool brokeOff) const
{
    if (!m_server || m_answer.answer != ServerState::Answered)
        return {};
    ServerState now = m_server->state();
    // The sink's error can come a moment before our own connection sees the server go.
    const auto deadline = std::chrono::steady_clock::now() + LossNoticeTimeout;
    while (brokeOff && now.answer == ServerState::Answered &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        now = m_server->state();
    }
    if (now.answer != ServerState::Answered)
        return QStringLiteral("The sound output was lost: the sound server stopped answering (%1). "
                              "Press the button again once sound works.")
            .arg(now.reason);
    return silenceMessage(silenceIn(now), true);
}

int AudioOutput::playbackRate() const
{
    int rate = negotiatedRate(m_converter, "src");
    if (m_server && m_answer.answer == ServerState::Answered) {
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
void AudioOutput::build(GstElement* sink)
{
    GstElement* convert = makeElement("audioconvert");
    GstElement* filter = makeElement("capsfilter");
    GstElement* converter = makeElement(RateConverter::FactoryName);
    if (!convert || !filter || !converter) {
        for (GstElement* element : {sink, convert, filter, converter})
            if (element)
                gst_object_unref(gst_object_ref_sink(element));
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
    gst_pad_add_probe(output, GST_PAD_PROBE_TYPE_BUFFER, &AudioOutput::rampBuffer, this, nullptr);
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

// Runs on the streaming thread: applies the gain ramp to the buffer in place, and notes when
// a ramp down reached silence.
GstPadProbeReturn AudioOutput::rampBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer self)
{
    auto* output = static_cast<AudioOutput*>(self);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    GstAudioInfo format;
    const bool known = caps && gst_audio_info_from_caps(&format, caps);
    if (caps)
        gst_caps_unref(caps);
    if (!known)
        return GST_PAD_PROBE_OK;
    GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READWRITE)) {
        const int channels = GST_AUDIO_INFO_CHANNELS(&format);
        const int frames = static_cast<int>(map.size / sizeof(float) / std::max(1, channels));
        const int rate = GST_AUDIO_INFO_RATE(&format);
        const int silentFrom =
            output->m_ramp.process(reinterpret_cast<float*>(map.data), frames, channels, rate);
        gst_buffer_unmap(buffer, &map);
        if (silentFrom >= 0) {
            const GstClockTime start = GST_BUFFER_PTS(buffer);
            // Without a time stamp, the whole of the sink's buffering must be waited out.
            output->m_silentFrom =
                GST_CLOCK_TIME_IS_VALID(start)
                    ? gint64(start +
                             gst_util_uint64_scale_int(GstClockTime(silentFrom), GST_SECOND, rate))
                    : gint64(0);
        }
    }
    return GST_PAD_PROBE_OK;
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
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
