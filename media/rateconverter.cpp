#include "media/rateconverter.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include <gst/audio/audio.h>
#include <gst/base/gstbasetransform.h>

#include "media/rateconversion.h"
#include "media/steepfilter.h"

namespace {

// Output buffers are kept about as short as the decoder's (an MP3 frame is 26 ms), although the
// conversion gives its output in blocks: the gain ramp after the converter acts on the buffers
// as they go to the sink, so a longer buffer would delay a fade by as much.
constexpr int OutputBuffersPerSecond = 50;

// Where the conversion stands on its time line.
enum class Timeline
{
    Fresh,   // the next input starts one as a fresh conversion would (at the start, after a flush)
    Running, // the input goes on with it
    Drained, // the conversion has given out all it held; the next input starts a new one
};

// The element's state; C++ members, constructed and destroyed with the element.
struct ConverterState
{
    std::atomic<int> targetRate = 0; // set from any thread
    GstAudioInfo in = {};
    GstAudioInfo out = {};
    std::unique_ptr<RateConversion> conversion;
    std::atomic<GstClockTime> latency = 0; // the conversion's, for queries from any thread
    Timeline timeline = Timeline::Fresh;
    GstClockTime inputEnd = GST_CLOCK_TIME_NONE;     // where the input so far ends
    GstClockTime firstTime = GST_CLOCK_TIME_NONE;    // time of the time line's first output frame
    guint64 framesOut = 0;                           // output frames since then
    GstClockTime drainedUntil = GST_CLOCK_TIME_NONE; // running time the drained output ends at
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

G_DEFINE_TYPE(Converter, converter, GST_TYPE_BASE_TRANSFORM)

ConverterState& stateOf(gpointer object)
{
    return G_TYPE_CHECK_INSTANCE_CAST(object, converter_get_type(), Converter)->state;
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

// Stamps an output buffer of `frames` frames with its place on the output time line; the first
// of a time line is marked as a discontinuity.
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
    if (state.framesOut == 0)
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    state.framesOut += frames;
}

// The next output buffer from what the conversion has queued; null when it has nothing.
GstBuffer* takeOutput(ConverterState& state)
{
    const gsize frames = std::min<gsize>(state.conversion->queuedFrames(),
                                         gsize(state.out.rate / OutputBuffersPerSecond));
    if (frames == 0)
        return nullptr;
    GstBuffer* buffer =
        gst_buffer_new_allocate(nullptr, frames * GST_AUDIO_INFO_BPF(&state.out), nullptr);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        gst_buffer_unref(buffer);
        return nullptr;
    }
    state.conversion->pop(reinterpret_cast<float*>(map.data), frames);
    gst_buffer_unmap(buffer, &map);
    stamp(state, buffer, frames);
    return buffer;
}

// At the end of the stream, and where a new time line starts without a flush, the conversion
// still holds the last stretch of sound, and the sound rings on for half the filter's length
// after it (a tone that stops abruptly, band-limited): push out all of it, so that the sound dies
// away instead of being cut off, which would be a click. Where it ends, in running time (what
// the sink plays by), is kept for the next time line.
void drain(GstBaseTransform* base)
{
    ConverterState& state = stateOf(base);
    if (!state.conversion || state.timeline != Timeline::Running)
        return;
    state.conversion->finish();
    while (GstBuffer* buffer = takeOutput(state))
        gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(base), buffer);
    state.timeline = Timeline::Drained;
    const GstClockTime end =
        state.firstTime + gst_util_uint64_scale_int(state.framesOut, GST_SECOND, state.out.rate);
    state.drainedUntil =
        GST_CLOCK_TIME_IS_VALID(state.firstTime)
            ? gst_segment_to_running_time(&base->segment, base->segment.format, end)
            : GST_CLOCK_TIME_NONE;
}

// A new format drains the conversion first, so that its sound goes out in the format it was
// converted to. Sound passed through leaves nothing to drain: a conversion after it starts fresh.
// Sound passed through after a drain keeps its own time stamps, which the drained ring-out
// overlaps (40 ms) where it follows straight on.
gboolean setCaps(GstBaseTransform* base, GstCaps* incaps, GstCaps* outcaps)
{
    ConverterState& state = stateOf(base);
    drain(base);
    if (!state.conversion)
        state.timeline = Timeline::Fresh;
    if (!gst_audio_info_from_caps(&state.in, incaps) ||
        !gst_audio_info_from_caps(&state.out, outcaps) || state.in.channels != state.out.channels)
        return FALSE;
    state.conversion.reset();
    state.latency = 0;
    const bool same = state.in.rate == state.out.rate;
    gst_base_transform_set_passthrough(base, same);
    if (same)
        return TRUE;
    state.conversion =
        std::make_unique<RateConversion>(state.in.channels, state.in.rate, state.out.rate);
    state.latency = state.conversion->latency();
    return state.conversion->valid();
}

// A new time line: the filter forgets the old sound, and the output counts from this input's
// time. After a flush it starts as a fresh conversion, in step with the input. After a drain the
// sound so far has died away to silence, and the new sound keeps its lead-in to rise out of it
// (without, its first sample would step from silence to about half its level): the output starts
// that much before the input's time, but not before the drained sound ends nor before the
// segment, so a time line that follows on is late by the lead-in and the drained ring-out.
void restartAt(GstBaseTransform* base, GstBuffer* input)
{
    ConverterState& state = stateOf(base);
    const bool drained = state.timeline == Timeline::Drained;
    const GstClockTime leadIn = state.conversion->reset(drained);
    state.firstTime = GST_BUFFER_PTS(input);
    if (drained && GST_CLOCK_TIME_IS_VALID(state.firstTime)) {
        const GstSegment& segment = base->segment;
        const GstClockTime drainedEnd =
            gst_segment_position_from_running_time(&segment, segment.format, state.drainedUntil);
        state.firstTime =
            std::max(state.firstTime - std::min(state.firstTime, leadIn),
                     GST_CLOCK_TIME_IS_VALID(drainedEnd) ? drainedEnd : segment.start);
    }
    state.framesOut = 0;
    state.timeline = Timeline::Running;
}

// A buffer marked as a discontinuity whose time goes on from the input so far (within half a
// sample; or where either time is not known) continues the time line; one whose time jumps starts
// a new one.
void convert(GstBaseTransform* base, GstBuffer* input)
{
    ConverterState& state = stateOf(base);
    const GstClockTime time = GST_BUFFER_PTS(input);
    if (GST_BUFFER_IS_DISCONT(input) && GST_CLOCK_TIME_IS_VALID(time) &&
        GST_CLOCK_TIME_IS_VALID(state.inputEnd) &&
        std::abs(GST_CLOCK_DIFF(state.inputEnd, time)) >
            GstClockTimeDiff(GST_SECOND / (2 * state.in.rate)))
        drain(base);
    if (state.timeline != Timeline::Running)
        restartAt(base, input);
    GstMapInfo map;
    if (!gst_buffer_map(input, &map, GST_MAP_READ))
        return;
    const gsize frames = map.size / GST_AUDIO_INFO_BPF(&state.in);
    state.conversion->push(reinterpret_cast<const float*>(map.data), frames);
    gst_buffer_unmap(input, &map);
    state.inputEnd = GST_CLOCK_TIME_IS_VALID(time)
                         ? time + gst_util_uint64_scale_int(frames, GST_SECOND, state.in.rate)
                         : GST_CLOCK_TIME_NONE;
}

// Called with each input buffer, then again until it gives no more output: the input goes into
// the conversion, and what has come out of it leaves in short buffers.
GstFlowReturn generateOutput(GstBaseTransform* base, GstBuffer** output)
{
    if (gst_base_transform_is_passthrough(base))
        return GST_BASE_TRANSFORM_CLASS(converter_parent_class)->generate_output(base, output);
    ConverterState& state = stateOf(base);
    *output = nullptr;
    if (GstBuffer* input = std::exchange(base->queued_buf, nullptr)) {
        if (state.conversion)
            convert(base, input);
        gst_buffer_unref(input);
    }
    if (!state.conversion)
        return GST_FLOW_NOT_NEGOTIATED;
    *output = takeOutput(state);
    return GST_FLOW_OK;
}

// A flush clears the way for a fresh conversion. The end of the stream and the start of a new
// stream or segment drain it, so that its sound goes out before them.
gboolean sinkEvent(GstBaseTransform* base, GstEvent* event)
{
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_STOP:
        stateOf(base).timeline = Timeline::Fresh;
        break;
    case GST_EVENT_EOS:
    case GST_EVENT_SEGMENT:
    case GST_EVENT_STREAM_START:
        drain(base);
        break;
    default:
        break;
    }
    return GST_BASE_TRANSFORM_CLASS(converter_parent_class)->sink_event(base, event);
}

// The conversion's delay comes on top of what upstream reports, as with `audioresample`.
gboolean query(GstBaseTransform* base, GstPadDirection direction, GstQuery* query)
{
    if (direction != GST_PAD_SRC || GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
        return GST_BASE_TRANSFORM_CLASS(converter_parent_class)->query(base, direction, query);
    if (!gst_pad_peer_query(GST_BASE_TRANSFORM_SINK_PAD(base), query))
        return FALSE;
    gboolean live = FALSE;
    GstClockTime min = 0;
    GstClockTime max = GST_CLOCK_TIME_NONE;
    gst_query_parse_latency(query, &live, &min, &max);
    const GstClockTime delay = stateOf(base).latency;
    gst_query_set_latency(query, live, min + delay,
                          GST_CLOCK_TIME_IS_VALID(max) ? max + delay : max);
    return TRUE;
}

gboolean stop(GstBaseTransform* base)
{
    stateOf(base).conversion.reset();
    stateOf(base).latency = 0;
    return TRUE;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec)
{
    if (id == PropertyRate) {
        stateOf(object).targetRate = g_value_get_int(value);
        // Taken at the next buffer: the output is negotiated again, and what the conversion
        // holds drains at the old rate first unless a flush has cleared it.
        gst_base_transform_reconfigure_src(GST_BASE_TRANSFORM(object));
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
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
    transformClass->generate_output = generateOutput;
    transformClass->sink_event = sinkEvent;
    transformClass->query = query;
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
    return SteepFilter::passbandTop(inRate, outRate);
}

void registerElement()
{
    static const gboolean registered =
        gst_element_register(nullptr, FactoryName, GST_RANK_NONE, converter_get_type());
    (void)registered;
}

} // namespace RateConverter
