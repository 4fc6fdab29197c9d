#include "media/rateconverter.h"

#include <algorithm>

#include <gst/audio/audio.h>
#include <gst/base/gstbasetransform.h>

// The element is a plain GObject type; its functions follow GStreamer's conventions.
namespace {

struct Converter
{
    GstBaseTransform parent;
    gint targetRate;
    GstAudioInfo in;
    GstAudioInfo out;
    GstAudioResampler* resampler;
    GstClockTime firstTime;     // time of the first output sample since the last discontinuity
    guint64 framesOut;          // output frames since then
    gboolean restartTimeline;   // the next input buffer starts a new time line
    gboolean markDiscontinuity; // the next output buffer is flagged as a discontinuity
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
Converter* toConverter(gpointer object)
{
    return reinterpret_cast<Converter*>(
        G_TYPE_CHECK_INSTANCE_CAST(object, converterType(), Converter));
}

G_DEFINE_TYPE(Converter, converter, GST_TYPE_BASE_TRANSFORM)

GType converterType()
{
    return converter_get_type();
}

void freeResampler(Converter* self)
{
    if (self->resampler)
        gst_audio_resampler_free(self->resampler);
    self->resampler = nullptr;
}

// A long Kaiser-windowed sinc, interpolated (cubic) from a table oversampled 32 times: the
// library's "full" table mode left spurs about 80 dB under a 22 kHz tone here, the interpolated
// table none above -100 dB. The exact rate ratio: an approximated one jitters the sample times.
GstStructure* filterOptions()
{
    GstStructure* options = gst_structure_new_empty("options");
    gst_structure_set(
        options, GST_AUDIO_RESAMPLER_OPT_CUTOFF, G_TYPE_DOUBLE, 1.0,
        GST_AUDIO_RESAMPLER_OPT_TRANSITION_BANDWIDTH, G_TYPE_DOUBLE,
        RateConverter::TransitionBandwidth, GST_AUDIO_RESAMPLER_OPT_STOP_ATTENUATION, G_TYPE_DOUBLE,
        RateConverter::StopAttenuationDb, GST_AUDIO_RESAMPLER_OPT_FILTER_MODE,
        GST_TYPE_AUDIO_RESAMPLER_FILTER_MODE, GST_AUDIO_RESAMPLER_FILTER_MODE_INTERPOLATED,
        GST_AUDIO_RESAMPLER_OPT_FILTER_INTERPOLATION, GST_TYPE_AUDIO_RESAMPLER_FILTER_INTERPOLATION,
        GST_AUDIO_RESAMPLER_FILTER_INTERPOLATION_CUBIC, GST_AUDIO_RESAMPLER_OPT_FILTER_OVERSAMPLE,
        G_TYPE_INT, 32, GST_AUDIO_RESAMPLER_OPT_MAX_PHASE_ERROR, G_TYPE_DOUBLE, 0.0, nullptr);
    return options;
}

GstCaps* transformCaps(GstBaseTransform* base, GstPadDirection direction, GstCaps* caps,
                       GstCaps* filter)
{
    Converter* self = toConverter(base);
    GstCaps* result = gst_caps_copy(caps);
    for (guint i = 0; i < gst_caps_get_size(result); ++i) {
        GstStructure* structure = gst_caps_get_structure(result, i);
        // Towards the output, only the chosen rate; towards the input, any rate.
        if (direction == GST_PAD_SINK && self->targetRate > 0)
            gst_structure_set(structure, "rate", G_TYPE_INT, self->targetRate, nullptr);
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
    Converter* self = toConverter(base);
    if (!gst_audio_info_from_caps(&self->in, incaps) ||
        !gst_audio_info_from_caps(&self->out, outcaps) || self->in.channels != self->out.channels)
        return FALSE;
    freeResampler(self);
    const bool same = self->in.rate == self->out.rate;
    gst_base_transform_set_passthrough(base, same);
    if (same)
        return TRUE;
    GstStructure* options = filterOptions();
    self->resampler = gst_audio_resampler_new(
        GST_AUDIO_RESAMPLER_METHOD_KAISER, GST_AUDIO_RESAMPLER_FLAG_NONE, GST_AUDIO_FORMAT_F32,
        self->in.channels, self->in.rate, self->out.rate, options);
    gst_structure_free(options);
    self->restartTimeline = TRUE;
    return self->resampler != nullptr;
}

gboolean transformSize(GstBaseTransform* base, GstPadDirection direction, GstCaps*, gsize size,
                       GstCaps*, gsize* othersize)
{
    Converter* self = toConverter(base);
    if (!self->resampler) {
        *othersize = size;
        return TRUE;
    }
    if (direction == GST_PAD_SINK) {
        const gsize frames = size / GST_AUDIO_INFO_BPF(&self->in);
        *othersize = gst_audio_resampler_get_out_frames(self->resampler, frames) *
                     GST_AUDIO_INFO_BPF(&self->out);
    } else {
        const gsize frames = size / GST_AUDIO_INFO_BPF(&self->out);
        *othersize = gst_audio_resampler_get_in_frames(self->resampler, frames) *
                     GST_AUDIO_INFO_BPF(&self->in);
    }
    return TRUE;
}

// Stamps an output buffer of `frames` frames with its place on the output time line.
void stamp(Converter* self, GstBuffer* buffer, gsize frames)
{
    const gint rate = self->out.rate;
    if (GST_CLOCK_TIME_IS_VALID(self->firstTime)) {
        const GstClockTime start =
            self->firstTime + gst_util_uint64_scale_int(self->framesOut, GST_SECOND, rate);
        const GstClockTime end =
            self->firstTime + gst_util_uint64_scale_int(self->framesOut + frames, GST_SECOND, rate);
        GST_BUFFER_PTS(buffer) = start;
        GST_BUFFER_DURATION(buffer) = end - start;
    } else {
        GST_BUFFER_PTS(buffer) = GST_CLOCK_TIME_NONE;
        GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale_int(frames, GST_SECOND, rate);
    }
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_OFFSET(buffer) = self->framesOut;
    GST_BUFFER_OFFSET_END(buffer) = self->framesOut + frames;
    self->framesOut += frames;
    if (self->markDiscontinuity)
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    else
        GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DISCONT);
    self->markDiscontinuity = FALSE;
}

// A new time line (the first buffer, or after a seek): the filter forgets the old sound, and the
// output counts from the time of this input.
void restartAt(Converter* self, GstBuffer* input)
{
    gst_audio_resampler_reset(self->resampler);
    self->firstTime = GST_BUFFER_PTS(input);
    self->framesOut = 0;
    self->restartTimeline = FALSE;
    self->markDiscontinuity = TRUE;
}

GstFlowReturn transform(GstBaseTransform* base, GstBuffer* inbuf, GstBuffer* outbuf)
{
    Converter* self = toConverter(base);
    if (!self->resampler)
        return GST_FLOW_NOT_NEGOTIATED;
    if (self->restartTimeline || GST_BUFFER_IS_DISCONT(inbuf))
        restartAt(self, inbuf);
    GstMapInfo inMap;
    GstMapInfo outMap;
    if (!gst_buffer_map(inbuf, &inMap, GST_MAP_READ))
        return GST_FLOW_ERROR;
    if (!gst_buffer_map(outbuf, &outMap, GST_MAP_WRITE)) {
        gst_buffer_unmap(inbuf, &inMap);
        return GST_FLOW_ERROR;
    }
    const gsize inFrames = inMap.size / GST_AUDIO_INFO_BPF(&self->in);
    const gsize outFrames =
        std::min<gsize>(gst_audio_resampler_get_out_frames(self->resampler, inFrames),
                        outMap.size / GST_AUDIO_INFO_BPF(&self->out));
    gpointer in[] = {inMap.data};
    gpointer out[] = {outMap.data};
    gst_audio_resampler_resample(self->resampler, in, inFrames, out, outFrames);
    gst_buffer_unmap(inbuf, &inMap);
    gst_buffer_unmap(outbuf, &outMap);
    gst_buffer_set_size(outbuf, outFrames * GST_AUDIO_INFO_BPF(&self->out));
    if (outFrames == 0)
        return GST_BASE_TRANSFORM_FLOW_DROPPED;
    stamp(self, outbuf, outFrames);
    return GST_FLOW_OK;
}

// At the end of the stream the filter still holds the last stretch of sound, and the sound rings
// on for half the filter's length after it (a tone that stops abruptly, band-limited): push out
// all of it, so that the sound dies away instead of being cut off, which would be a click.
void drain(Converter* self)
{
    if (!self->resampler || self->restartTimeline)
        return;
    const gsize inFrames = 2 * gst_audio_resampler_get_max_latency(self->resampler);
    const gsize outFrames = gst_audio_resampler_get_out_frames(self->resampler, inFrames);
    if (outFrames == 0)
        return;
    GstBuffer* buffer =
        gst_buffer_new_allocate(nullptr, outFrames * GST_AUDIO_INFO_BPF(&self->out), nullptr);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        gst_buffer_unref(buffer);
        return;
    }
    gpointer out[] = {map.data};
    gst_audio_resampler_resample(self->resampler, nullptr, inFrames, out, outFrames);
    gst_buffer_unmap(buffer, &map);
    stamp(self, buffer, outFrames);
    gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(&self->parent), buffer);
}

gboolean sinkEvent(GstBaseTransform* base, GstEvent* event)
{
    Converter* self = toConverter(base);
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_STOP:
        self->restartTimeline = TRUE;
        break;
    case GST_EVENT_EOS:
        drain(self);
        break;
    default:
        break;
    }
    return GST_BASE_TRANSFORM_CLASS(converter_parent_class)->sink_event(base, event);
}

gboolean stop(GstBaseTransform* base)
{
    freeResampler(toConverter(base));
    return TRUE;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec)
{
    if (id == PropertyRate)
        toConverter(object)->targetRate = g_value_get_int(value);
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* spec)
{
    if (id == PropertyRate)
        g_value_set_int(value, toConverter(object)->targetRate);
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
}

void finalize(GObject* object)
{
    freeResampler(toConverter(object));
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
    self->targetRate = 0;
    self->resampler = nullptr;
    self->firstTime = GST_CLOCK_TIME_NONE;
    self->framesOut = 0;
    self->restartTimeline = TRUE;
    self->markDiscontinuity = TRUE;
    gst_audio_info_init(&self->in);
    gst_audio_info_init(&self->out);
}

} // namespace

namespace RateConverter {

void registerElement()
{
    static const gboolean registered =
        gst_element_register(nullptr, FactoryName, GST_RANK_NONE, converterType());
    (void)registered;
}

} // namespace RateConverter
