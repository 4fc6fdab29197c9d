#include "media/rateconverter.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

#include <gst/audio/audio.h>
#include <gst/base/gstbasetransform.h>

namespace {

struct ResamplerFree
{
    void operator()(GstAudioResampler* resampler) const { gst_audio_resampler_free(resampler); }
};
using ResamplerPtr = std::unique_ptr<GstAudioResampler, ResamplerFree>;

// A long Kaiser-windowed sinc with a table of taps for every phase of the exact rate ratio, so
// that each output sample takes one pass over the taps. (The library builds that table only when
// asked to oversample at least as many phases; fewer phases, or an approximated ratio, jitter the
// sample times: spurs 80 dB under a 22 kHz tone.)
ResamplerPtr makeResampler(int channels, int inRate, int outRate)
{
    const int phases = outRate / std::gcd(inRate, outRate);
    GstStructure* options = gst_structure_new_empty("options");
    gst_structure_set(options, GST_AUDIO_RESAMPLER_OPT_CUTOFF, G_TYPE_DOUBLE, 1.0,
                      GST_AUDIO_RESAMPLER_OPT_TRANSITION_BANDWIDTH, G_TYPE_DOUBLE,
                      RateConverter::TransitionBandwidth, GST_AUDIO_RESAMPLER_OPT_STOP_ATTENUATION,
                      G_TYPE_DOUBLE, RateConverter::StopAttenuationDb,
                      GST_AUDIO_RESAMPLER_OPT_FILTER_MODE, GST_TYPE_AUDIO_RESAMPLER_FILTER_MODE,
                      GST_AUDIO_RESAMPLER_FILTER_MODE_FULL,
                      GST_AUDIO_RESAMPLER_OPT_FILTER_OVERSAMPLE, G_TYPE_INT, phases,
                      GST_AUDIO_RESAMPLER_OPT_MAX_PHASE_ERROR, G_TYPE_DOUBLE, 0.0, nullptr);
    ResamplerPtr resampler(
        gst_audio_resampler_new(GST_AUDIO_RESAMPLER_METHOD_KAISER, GST_AUDIO_RESAMPLER_FLAG_NONE,
                                GST_AUDIO_FORMAT_F32, channels, inRate, outRate, options));
    gst_structure_free(options);
    return resampler;
}

void resample(GstAudioResampler* resampler, const float* in, gsize inFrames, float* out,
              gsize outFrames)
{
    gpointer input[] = {const_cast<float*>(in)};
    gpointer output[] = {out};
    gst_audio_resampler_resample(resampler, in ? input : nullptr, inFrames, output, outFrames);
}

// One conversion between two negotiated rates. The filter is long (over three thousand taps), so
// while every frame's channels are identical (a mono recording stored as stereo, like most of the
// tones) only one channel is converted and copied to the others. When the channels part, the
// converter of all channels takes over in the very state the shared one had: it is fed the same
// recent input, in the same phase of the rate ratio.
class Conversion
{
public:
    Conversion(int channels, int inRate, int outRate)
        : m_channels(channels), m_inRate(inRate), m_outRate(outRate),
          m_period(gsize(inRate / std::gcd(inRate, outRate)))
    {
        // The converter of all channels is made when the channels part, if ever.
        if (channels == 1)
            m_all = makeResampler(1, inRate, outRate);
        else
            m_one = makeResampler(1, inRate, outRate);
        reset();
    }

    bool valid() const { return active() != nullptr; }
    gsize outFrames(gsize inFrames) const
    {
        return gst_audio_resampler_get_out_frames(active(), inFrames);
    }
    gsize inFrames(gsize outFrames) const
    {
        return gst_audio_resampler_get_in_frames(active(), outFrames);
    }
    // Input frames of silence that let the sound ring out fully after the last input.
    gsize tailFrames() const { return 2 * gst_audio_resampler_get_max_latency(active()); }

    void reset()
    {
        if (m_all)
            gst_audio_resampler_reset(m_all.get());
        if (m_one)
            gst_audio_resampler_reset(m_one.get());
        m_shared = m_one != nullptr;
        m_recent.clear();
        m_framesIn = 0;
    }

    // `in` null: silence.
    void convert(const float* in, gsize inFrames, float* out, gsize outFrames)
    {
        if (m_shared && in && !channelsIdentical(in, inFrames))
            part();
        if (!m_shared) {
            resample(m_all.get(), in, inFrames, out, outFrames);
            return;
        }
        m_oneIn.resize(inFrames);
        for (gsize frame = 0; in && frame < inFrames; ++frame)
            m_oneIn[frame] = in[frame * m_channels];
        m_oneOut.resize(outFrames);
        resample(m_one.get(), in ? m_oneIn.data() : nullptr, inFrames, m_oneOut.data(), outFrames);
        for (gsize frame = 0; frame < outFrames; ++frame)
            std::fill_n(out + frame * m_channels, m_channels, m_oneOut[frame]);
        keepRecent(in ? m_oneIn.data() : nullptr, inFrames);
    }

private:
    GstAudioResampler* active() const { return m_shared ? m_one.get() : m_all.get(); }

    bool channelsIdentical(const float* in, gsize frames) const
    {
        for (gsize frame = 0; frame < frames; ++frame)
            for (int channel = 1; channel < m_channels; ++channel)
                if (std::memcmp(&in[frame * m_channels], &in[frame * m_channels + channel],
                                sizeof(float)) != 0)
                    return false;
        return true;
    }

    // Enough recent input to refill the filter, plus one period of the rate ratio to match its
    // phase.
    gsize recentNeeded() const { return tailFrames() + 2 * m_period; }

    void keepRecent(const float* in, gsize frames)
    {
        if (in)
            m_recent.insert(m_recent.end(), in, in + frames);
        else
            m_recent.insert(m_recent.end(), frames, 0.0f);
        m_framesIn += frames;
        if (m_recent.size() > 2 * recentNeeded())
            m_recent.erase(m_recent.begin(), m_recent.end() - std::ptrdiff_t(recentNeeded()));
    }

    // The channels part: the converter of all channels is brought to the shared one's state and
    // takes over. Its filter then holds the same input, and its output grid has the same phase
    // (output times repeat every `m_period` input frames since the reset).
    void part()
    {
        if (!m_all)
            m_all = makeResampler(m_channels, m_inRate, m_outRate);
        if (!m_all)
            return; // no converter for all channels: they keep sharing the first one's sound
        gsize replay = m_framesIn;
        if (replay > m_recent.size()) {
            const gsize filter = tailFrames();
            replay = filter + (m_framesIn - filter) % m_period;
        }
        gst_audio_resampler_reset(m_all.get());
        std::vector<float> in(replay * gsize(m_channels));
        for (gsize frame = 0; frame < replay; ++frame)
            std::fill_n(in.begin() + std::ptrdiff_t(frame * m_channels), m_channels,
                        m_recent[m_recent.size() - replay + frame]);
        std::vector<float> discarded(outFramesOf(m_all.get(), replay) * gsize(m_channels));
        resample(m_all.get(), in.data(), replay, discarded.data(), discarded.size() / m_channels);
        m_shared = false;
        m_recent = {};
    }

    static gsize outFramesOf(GstAudioResampler* resampler, gsize inFrames)
    {
        return gst_audio_resampler_get_out_frames(resampler, inFrames);
    }

    int m_channels;
    int m_inRate;
    int m_outRate;
    gsize m_period;
    ResamplerPtr m_all;
    ResamplerPtr m_one;
    bool m_shared = false;
    std::vector<float> m_recent; // the shared channel's latest input
    guint64 m_framesIn = 0;      // input frames since the reset
    std::vector<float> m_oneIn;
    std::vector<float> m_oneOut;
};

// The element's state; C++ members, constructed and destroyed with the element.
struct ConverterState
{
    int targetRate = 0;
    GstAudioInfo in = {};
    GstAudioInfo out = {};
    std::unique_ptr<Conversion> conversion;
    GstClockTime firstTime = GST_CLOCK_TIME_NONE; // time of the first output sample since the
                                                  // last discontinuity
    guint64 framesOut = 0;                        // output frames since then
    bool restartTimeline = true;                  // the next input buffer starts a new time line
    bool markDiscontinuity = true; // the next output buffer is flagged as a discontinuity
};

// The element is a plain GObject type; its functions follow GStreamer's conventions.
struct Converter
{
    GstBaseTransform parent;
    ConverterState state;
};

struct ConverterClass
{
    GstBaseTransformClass parent;
};

enum
{
    PropertyNone,
    PropertyRate
};

#define CONVERTER_CAPS                                                                             \
    "audio/x-raw, format = (string) " GST_AUDIO_NE(                                                \
        F32) ", layout = (string) interleaved, "                                                   \
             "rate = (int) [ 1, MAX ], channels = (int) [ 1, MAX ]"

GType converterType();
ConverterState& stateOf(gpointer object)
{
    return reinterpret_cast<Converter*>(
               G_TYPE_CHECK_INSTANCE_CAST(object, converterType(), Converter))
        ->state;
}

G_DEFINE_TYPE(Converter, converter, GST_TYPE_BASE_TRANSFORM)

GType converterType()
{
    return converter_get_type();
}

GstCaps* transformCaps(GstBaseTransform* base, GstPadDirection direction, GstCaps* caps,
                       GstCaps* filter)
{
    const int targetRate = stateOf(base).targetRate;
    GstCaps* result = gst_caps_copy(caps);
    for (guint i = 0; i < gst_caps_get_size(result); ++i) {
        GstStructure* structure = gst_caps_get_structure(result, i);
        // Towards the output, only the chosen rate; towards the input, any rate.
        if (direction == GST_PAD_SINK && targetRate > 0)
            gst_structure_set(structure, "rate", G_TYPE_INT, targetRate, nullptr);
        else
            gst_structure_set(structure, "rate", GST_TYPE_INT_RANGE, 1, G_MAXINT, nullptr);
    }
    if (filter) {
        GstCaps* filtered = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(result);
        result = filtered;
    }
    return result;
}

// Of the rates downstream takes, the one nearest the input's: no conversion where none is needed.
GstCaps* fixateCaps(GstBaseTransform*, GstPadDirection, GstCaps* caps, GstCaps* othercaps)
{
    othercaps = gst_caps_make_writable(gst_caps_truncate(othercaps));
    int rate = 0;
    const GstStructure* from = gst_caps_get_structure(caps, 0);
    if (gst_structure_get_int(from, "rate", &rate))
        gst_structure_fixate_field_nearest_int(gst_caps_get_structure(othercaps, 0), "rate", rate);
    return gst_caps_fixate(othercaps);
}

gboolean setCaps(GstBaseTransform* base, GstCaps* incaps, GstCaps* outcaps)
{
    ConverterState& state = stateOf(base);
    if (!gst_audio_info_from_caps(&state.in, incaps) ||
        !gst_audio_info_from_caps(&state.out, outcaps) || state.in.channels != state.out.channels)
        return FALSE;
    state.conversion.reset();
    const bool same = state.in.rate == state.out.rate;
    gst_base_transform_set_passthrough(base, same);
    if (same)
        return TRUE;
    state.conversion =
        std::make_unique<Conversion>(state.in.channels, state.in.rate, state.out.rate);
    state.restartTimeline = true;
    return state.conversion->valid();
}

gboolean transformSize(GstBaseTransform* base, GstPadDirection direction, GstCaps*, gsize size,
                       GstCaps*, gsize* othersize)
{
    const ConverterState& state = stateOf(base);
    if (!state.conversion) {
        *othersize = size;
        return TRUE;
    }
    if (direction == GST_PAD_SINK)
        *othersize = state.conversion->outFrames(size / GST_AUDIO_INFO_BPF(&state.in)) *
                     GST_AUDIO_INFO_BPF(&state.out);
    else
        *othersize = state.conversion->inFrames(size / GST_AUDIO_INFO_BPF(&state.out)) *
                     GST_AUDIO_INFO_BPF(&state.in);
    return TRUE;
}

// Stamps an output buffer of `frames` frames with its place on the output time line.
void stamp(ConverterState& state, GstBuffer* buffer, gsize frames)
{
    const gint rate = state.out.rate;
    if (GST_CLOCK_TIME_IS_VALID(state.firstTime)) {
        const GstClockTime start =
            state.firstTime + gst_util_uint64_scale_int(state.framesOut, GST_SECOND, rate);
        const GstClockTime end =
            state.firstTime + gst_util_uint64_scale_int(state.framesOut + frames, GST_SECOND, rate);
        GST_BUFFER_PTS(buffer) = start;
        GST_BUFFER_DURATION(buffer) = end - start;
    } else {
        GST_BUFFER_PTS(buffer) = GST_CLOCK_TIME_NONE;
        GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale_int(frames, GST_SECOND, rate);
    }
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_OFFSET(buffer) = state.framesOut;
    GST_BUFFER_OFFSET_END(buffer) = state.framesOut + frames;
    state.framesOut += frames;
    if (state.markDiscontinuity)
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    else
        GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DISCONT);
    state.markDiscontinuity = false;
}

// A new time line (the first buffer, or after a seek): the filter forgets the old sound, and the
// output counts from the time of this input.
void restartAt(ConverterState& state, GstBuffer* input)
{
    state.conversion->reset();
    state.firstTime = GST_BUFFER_PTS(input);
    state.framesOut = 0;
    state.restartTimeline = false;
    state.markDiscontinuity = true;
}

GstFlowReturn transform(GstBaseTransform* base, GstBuffer* inbuf, GstBuffer* outbuf)
{
    ConverterState& state = stateOf(base);
    if (!state.conversion)
        return GST_FLOW_NOT_NEGOTIATED;
    if (state.restartTimeline || GST_BUFFER_IS_DISCONT(inbuf))
        restartAt(state, inbuf);
    GstMapInfo inMap;
    GstMapInfo outMap;
    if (!gst_buffer_map(inbuf, &inMap, GST_MAP_READ))
        return GST_FLOW_ERROR;
    if (!gst_buffer_map(outbuf, &outMap, GST_MAP_WRITE)) {
        gst_buffer_unmap(inbuf, &inMap);
        return GST_FLOW_ERROR;
    }
    const gsize inFrames = inMap.size / GST_AUDIO_INFO_BPF(&state.in);
    const gsize outFrames = std::min<gsize>(state.conversion->outFrames(inFrames),
                                            outMap.size / GST_AUDIO_INFO_BPF(&state.out));
    state.conversion->convert(reinterpret_cast<const float*>(inMap.data), inFrames,
                              reinterpret_cast<float*>(outMap.data), outFrames);
    gst_buffer_unmap(inbuf, &inMap);
    gst_buffer_unmap(outbuf, &outMap);
    gst_buffer_set_size(outbuf, outFrames * GST_AUDIO_INFO_BPF(&state.out));
    if (outFrames == 0)
        return GST_BASE_TRANSFORM_FLOW_DROPPED;
    stamp(state, outbuf, outFrames);
    return GST_FLOW_OK;
}

// At the end of the stream the filter still holds the last stretch of sound, and the sound rings
// on for half the filter's length after it (a tone that stops abruptly, band-limited): push out
// all of it, so that the sound dies away instead of being cut off, which would be a click.
void drain(GstBaseTransform* base)
{
    ConverterState& state = stateOf(base);
    if (!state.conversion || state.restartTimeline)
        return;
    const gsize inFrames = state.conversion->tailFrames();
    const gsize outFrames = state.conversion->outFrames(inFrames);
    if (outFrames == 0)
        return;
    GstBuffer* buffer =
        gst_buffer_new_allocate(nullptr, outFrames * GST_AUDIO_INFO_BPF(&state.out), nullptr);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        gst_buffer_unref(buffer);
        return;
    }
    state.conversion->convert(nullptr, inFrames, reinterpret_cast<float*>(map.data), outFrames);
    gst_buffer_unmap(buffer, &map);
    stamp(state, buffer, outFrames);
    gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(base), buffer);
}

gboolean sinkEvent(GstBaseTransform* base, GstEvent* event)
{
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_STOP:
        stateOf(base).restartTimeline = true;
        break;
    case GST_EVENT_EOS:
        drain(base);
        break;
    default:
        break;
    }
    return GST_BASE_TRANSFORM_CLASS(converter_parent_class)->sink_event(base, event);
}

gboolean stop(GstBaseTransform* base)
{
    stateOf(base).conversion.reset();
    return TRUE;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec)
{
    if (id == PropertyRate)
        stateOf(object).targetRate = g_value_get_int(value);
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec)
{
    if (id == PropertyRate)
        g_value_set_int(value, stateOf(object).targetRate);
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

void finalize(GObject* object)
{
    stateOf(object).~ConverterState();
    G_OBJECT_CLASS(converter_parent_class)->finalize(object);
}

void converter_class_init(ConverterClass* klass)
{
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    objectClass->set_property = setProperty;
    objectClass->get_property = getProperty;
    objectClass->finalize = finalize;
    g_object_class_install_property(
        objectClass, PropertyRate,
        g_param_spec_int("rate", "Rate", "Rate to convert to; 0: the nearest downstream accepts", 0,
                         G_MAXINT, 0,
                         static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    for (const GstPadDirection direction : {GST_PAD_SINK, GST_PAD_SRC}) {
        GstCaps* caps = gst_caps_from_string(CONVERTER_CAPS);
        gst_element_class_add_pad_template(
            elementClass, gst_pad_template_new(direction == GST_PAD_SINK ? "sink" : "src",
                                               direction, GST_PAD_ALWAYS, caps));
        gst_caps_unref(caps);
    }
    gst_element_class_set_static_metadata(
        elementClass, "Tone rate converter", "Filter/Converter/Audio",
        "Converts the sample rate, flat to the top of the band", "Pitchwarden Ear Check");

    GstBaseTransformClass* transformClass = GST_BASE_TRANSFORM_CLASS(klass);
    transformClass->transform_caps = transformCaps;
    transformClass->fixate_caps = fixateCaps;
    transformClass->set_caps = setCaps;
    transformClass->transform_size = transformSize;
    transformClass->transform = transform;
    transformClass->sink_event = sinkEvent;
    transformClass->stop = stop;
    transformClass->passthrough_on_same_caps = TRUE;
}

void converter_init(Converter* self)
{
    new (&self->state) ConverterState();
}

} // namespace

namespace RateConverter {

double PassbandTop(int inRate, int outRate)
{
    const double nyquist = std::min(inRate, outRate) / 2.0;
    return inRate == outRate ? nyquist : nyquist * (1.0 - TransitionBandwidth);
}

void registerElement()
{
    static const gboolean registered =
        gst_element_register(nullptr, FactoryName, GST_RANK_NONE, converterType());
    (void)registered;
}

} // namespace RateConverter
