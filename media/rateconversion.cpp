#include "media/rateconversion.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

// 90 dB under full scale: under hearing at any volume at which the full-scale tones are bearable.
constexpr float InaudibleLevel = 3.2e-5f;

// The second stage's filter, at the doubled rate: its transition spans this share of that rate,
// centred on half of it, so from 44.1 kHz it passes up to 24.3 kHz and is 120 dB down from
// 63.9 kHz on, before the doubled rate's first mirror image (from 66.15 kHz) begins.
constexpr double SecondStageTransition = 0.45;
constexpr double SecondStageAttenuationDb = 120;
// Phases of its table per sample, cubically interpolated between: over 120 dB clean at every
// output rate. (The library's interpolated table lags by one of its phases: 1/64 of a sample at
// the doubled rate, 0.18 µs from 44.1 kHz; it halves the phases for each halving of the rate
// below the doubled one, so at 8 kHz the lag is 1.4 µs.)
constexpr int SecondStageOversample = 64;

struct StructureFree
{
    void operator()(GstStructure* structure) const { gst_structure_free(structure); }
};

} // namespace

void RateConversion::ResamplerFree::operator()(GstAudioResampler* resampler) const
{
    gst_audio_resampler_free(resampler);
}

RateConversion::RateConversion(int channels, int inRate, int outRate)
    : m_channels(channels), m_inRate(inRate), m_outRate(outRate),
      m_filter(SteepFilter::forRates(inRate, outRate)),
      m_windows(size_t(channels), std::vector<float>(size_t(m_filter->windowSize()))),
      m_filtered(size_t(channels), std::vector<float>(2 * size_t(m_filter->blockSize())))
{
    reset();
}

RateConversion::~RateConversion() = default;

bool RateConversion::valid() const
{
    return m_resampler || m_outRate == m_filter->rate();
}

// Down to the output rate, GStreamer's resampler sizes its filter by the lower rate's band: the
// cut-off and width given relative to that keep the same filter in Hz at every output rate.
RateConversion::ResamplerPtr RateConversion::makeResampler() const
{
    const int rate = m_filter->rate();
    if (m_outRate == rate)
        return nullptr;
    const double scale = std::max(1.0, double(rate) / m_outRate);
    const std::unique_ptr<GstStructure, StructureFree> owner(gst_structure_new_empty("options"));
    GstStructure* options = owner.get();
    gst_structure_set(options, GST_AUDIO_RESAMPLER_OPT_CUTOFF, G_TYPE_DOUBLE, scale, nullptr);
    gst_structure_set(options, GST_AUDIO_RESAMPLER_OPT_TRANSITION_BANDWIDTH, G_TYPE_DOUBLE,
                      SecondStageTransition * scale, nullptr);
    gst_structure_set(options, GST_AUDIO_RESAMPLER_OPT_STOP_ATTENUATION, G_TYPE_DOUBLE,
                      SecondStageAttenuationDb, nullptr);
    gst_structure_set(options, GST_AUDIO_RESAMPLER_OPT_FILTER_MODE,
                      GST_TYPE_AUDIO_RESAMPLER_FILTER_MODE,
                      GST_AUDIO_RESAMPLER_FILTER_MODE_INTERPOLATED, nullptr);
    gst_structure_set(options, GST_AUDIO_RESAMPLER_OPT_FILTER_INTERPOLATION,
                      GST_TYPE_AUDIO_RESAMPLER_FILTER_INTERPOLATION,
                      GST_AUDIO_RESAMPLER_FILTER_INTERPOLATION_CUBIC, nullptr);
    gst_structure_set(options, GST_AUDIO_RESAMPLER_OPT_FILTER_OVERSAMPLE, G_TYPE_INT,
                      SecondStageOversample, nullptr);
    return ResamplerPtr(gst_audio_resampler_new(
        GST_AUDIO_RESAMPLER_METHOD_KAISER, GST_AUDIO_RESAMPLER_FLAG_NON_INTERLEAVED_IN,
        GST_AUDIO_FORMAT_F32, m_channels, rate, m_outRate, options));
}

// GStreamer's resampler keeps the phase of the rate ratio across its own reset, which would
// shift the new time line by a fraction of a sample: it is made afresh instead (its table is a
// few kilobytes).
GstClockTime RateConversion::reset(bool leadIn)
{
    for (std::vector<float>& window : m_windows)
        std::fill(window.begin(), window.end(), 0.0f);
    m_filled = 0;
    m_leadIn = leadIn ? size_t(m_filter->delay()) : 0;
    m_toSkip = size_t(m_filter->delay()) - m_leadIn;
    m_framesIn = 0;
    m_framesQueued = 0;
    m_queue.clear();
    m_queueRead = 0;
    m_resampler = makeResampler();
    return gst_util_uint64_scale_int_round(m_leadIn, GST_SECOND, m_filter->rate());
}

void RateConversion::push(const float* in, size_t frames)
{
    const size_t history = size_t(m_filter->history());
    const size_t block = size_t(m_filter->blockSize());
    for (size_t frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < m_channels; ++channel)
            m_windows[size_t(channel)][history + m_filled] =
                in ? in[frame * size_t(m_channels) + size_t(channel)] : 0.0f;
        if (++m_filled == block)
            filterBlock();
    }
    m_framesIn += frames;
}

void RateConversion::filterBlock()
{
    const size_t history = size_t(m_filter->history());
    std::vector<float*> planes;
    for (int channel = 0; channel < m_channels; ++channel) {
        std::vector<float>& window = m_windows[size_t(channel)];
        m_filter->apply(window.data(), m_filtered[size_t(channel)].data());
        std::copy(window.end() - std::ptrdiff_t(history), window.end(), window.begin());
        planes.push_back(m_filtered[size_t(channel)].data());
    }
    m_filled = 0;
    const size_t filtered = 2 * size_t(m_filter->blockSize());
    const size_t skipped = std::min(m_toSkip, filtered);
    m_toSkip -= skipped;
    for (float*& plane : planes)
        plane += skipped;
    queue(planes, filtered - skipped);
}

// Takes the steep filter's output on to the output rate and into the queue.
void RateConversion::queue(std::vector<float*>& planes, size_t frames)
{
    if (frames == 0)
        return;
    if (m_queueRead > 0) {
        m_queue.erase(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(m_queueRead));
        m_queueRead = 0;
    }
    const size_t start = m_queue.size();
    if (!m_resampler) {
        m_queue.resize(start + frames * size_t(m_channels));
        for (size_t frame = 0; frame < frames; ++frame)
            for (int channel = 0; channel < m_channels; ++channel)
                m_queue[start + frame * size_t(m_channels) + size_t(channel)] =
                    planes[size_t(channel)][frame];
        m_framesQueued += frames;
        return;
    }
    const gsize outFrames = gst_audio_resampler_get_out_frames(m_resampler.get(), frames);
    m_queue.resize(start + outFrames * size_t(m_channels));
    gpointer out[] = {m_queue.data() + start};
    gst_audio_resampler_resample(m_resampler.get(), reinterpret_cast<gpointer*>(planes.data()),
                                 frames, out, outFrames);
    m_framesQueued += outFrames;
}

size_t RateConversion::resamplerDelay() const
{
    return m_resampler ? gst_audio_resampler_get_max_latency(m_resampler.get()) : 0;
}

// An abrupt end, band-limited, rings on for the filters' half length: silence goes in until the
// output reaches that far (past the lead-in, if kept), and the output ends exactly there.
void RateConversion::finish()
{
    const guint64 ringOut = (m_leadIn + size_t(m_filter->delay()) + resamplerDelay() + 1) / 2;
    const guint64 lastFrame =
        gst_util_uint64_scale_int_ceil(m_framesIn + ringOut, m_outRate, m_inRate);
    while (m_framesQueued < lastFrame)
        push(nullptr, size_t(m_filter->blockSize()));
    guint64 excess = std::min<guint64>(m_framesQueued - lastFrame, queuedFrames());
    // Of a sound that faded out, what rings on lies far below hearing: it is left out, so that the
    // stream ends when its sound does.
    const auto inaudible = [](float sample) { return std::abs(sample) < InaudibleLevel; };
    const auto end = m_queue.end() - std::ptrdiff_t(excess * size_t(m_channels));
    const auto first = m_queue.begin() + std::ptrdiff_t(m_queueRead);
    const auto loud = std::find_if_not(std::make_reverse_iterator(end),
                                       std::make_reverse_iterator(first), inaudible);
    excess += size_t(std::distance(std::make_reverse_iterator(end), loud)) / size_t(m_channels);
    m_queue.resize(m_queue.size() - excess * size_t(m_channels));
    m_framesQueued -= excess;
}

size_t RateConversion::pop(float* out, size_t maxFrames)
{
    const size_t frames = std::min(maxFrames, queuedFrames());
    const auto first = m_queue.begin() + std::ptrdiff_t(m_queueRead);
    std::copy(first, first + std::ptrdiff_t(frames * size_t(m_channels)), out);
    m_queueRead += frames * size_t(m_channels);
    return frames;
}

// An input frame may have to wait for the rest of its block, then for the filters' look-ahead.
GstClockTime RateConversion::latency() const
{
    const guint64 samples =
        2 * guint64(m_filter->blockSize()) + guint64(m_filter->delay()) + resamplerDelay();
    return gst_util_uint64_scale_int_round(samples, GST_SECOND, m_filter->rate());
}
