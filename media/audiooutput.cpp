#include "media/audiooutput.h"

#include <chrono>
#include <cmath>
#include <thread>

#include <QByteArray>

#include <gst/audio/audio.h>

#include "media/rateconverter.h"
#include "media/soundserver.h"

namespace {

// How long a stop may wait for its fade to reach the listener when the sink stalls.
constexpr auto FadeTimeout = std::chrono::milliseconds(250);
// Heard a little past the last ramped sample, in case the sink's clock runs ahead.
constexpr gint64 FadeMargin = 5 * GST_MSECOND;

// With less buffered, the sound server ran dry when both cores were busy (gaps of 4 ms to 2 s in
// the tone, each edge a click; 20 ms dropped out even when idle, 60 ms under load). The price:
// a stop is heard about 100 ms after it is asked for, since the buffered sound fades first.
constexpr int PulseBufferMicroseconds = 100000;
constexpr int PulseLatencyMicroseconds = 20000;

GstElement* makeElement(const char* factory)
{
    return gst_element_factory_make(factory, nullptr);
}

} // namespace

AudioOutput::AudioOutput()
{
    GstElement* sink = makeSink();
    if (sink)
        build(sink);
}

// What PITCHWARDEN_AUDIO_SINK describes (tests use sinks that need no sound card); else the
// sound server, at the rate its sink plays; else whatever the desktop offers.
GstElement* AudioOutput::makeSink()
{
    const QByteArray description = qgetenv("PITCHWARDEN_AUDIO_SINK");
    if (!description.isEmpty()) {
        GError* error = nullptr;
        GstElement* bin = gst_parse_bin_from_description(description.constData(), TRUE, &error);
        if (error)
            g_error_free(error);
        if (bin)
            return bin;
    }
    if (const auto server = QueryDefaultSink(&m_noServer)) {
        if (GstElement* pulse = makeElement("pulsesink")) {
            // Small buffering, so that sound starts and ends close to when the program says.
            g_object_set(pulse, "buffer-time", gint64(PulseBufferMicroseconds), "latency-time",
                         gint64(PulseLatencyMicroseconds), nullptr);
            m_rate = server->rate;
            m_usesServer = true;
            return pulse;
        }
    }
    m_fallback = makeElement("autoaudiosink");
    return m_fallback;
}

// The automatic choice plays into a fake sink when it finds no device it can open.
QString AudioOutput::problem() const
{
    if (!m_bin)
        return QStringLiteral("the audio output could not be built");
    if (!m_fallback)
        return {};
    bool playsToNowhere = false;
    GstIterator* children = gst_bin_iterate_elements(GST_BIN(m_fallback));
    GValue child = G_VALUE_INIT;
    while (gst_iterator_next(children, &child) == GST_ITERATOR_OK) {
        GstElementFactory* factory =
            gst_element_get_factory(GST_ELEMENT(g_value_get_object(&child)));
        if (factory && g_str_equal(gst_plugin_feature_get_name(factory), "fakesink"))
            playsToNowhere = true;
        g_value_reset(&child);
    }
    g_value_unset(&child);
    gst_iterator_free(children);
    if (!playsToNowhere)
        return {};
    return QStringLiteral("no sound server answered (%1) and no audio device could be opened")
        .arg(m_noServer);
}

QString AudioOutput::serverGone() const
{
    QString why;
    if (!m_usesServer || QueryDefaultSink(&why))
        return {};
    return QStringLiteral("the sound server stopped answering (%1)").arg(why);
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
