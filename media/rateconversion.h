#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include <gst/audio/audio.h>

#include "media/steepfilter.h"

// One stream's conversion between two sample rates, for interleaved float frames of any channel
// count, each channel on its own. The steep filter takes the input to twice its rate and keeps
// only the band that the output can carry; GStreamer's resampler then goes to the output rate
// with a filter so wide (nothing is left between the band and the first mirror image of the
// doubled rate) that a couple of dozen taps do, interpolated from a small table so that any pair
// of rates costs the same set-up and memory.
//
// The steep filter works in blocks (about a tenth of a second), so the output waits in a queue.
// Output frame 0 lies at the time of input frame 0, the filters' delay taken out, unless the
// lead-in is kept (see reset()).
class RateConversion
{
public:
    RateConversion(int channels, int inRate, int outRate);
    ~RateConversion();
    RateConversion(const RateConversion&) = delete;
    RateConversion& operator=(const RateConversion&) = delete;

    bool valid() const;
    // A new time line: silence before it, and output counted from its first input frame. With
    // `leadIn` the output starts earlier, by the steep filter's half length, with the rise of the
    // band-limited sound out of that silence; returns how long before the first input frame.
    GstClockTime reset(bool leadIn = false);
    // Converts `frames` frames (`in` null: silence) and queues what comes out.
    void push(const float* in, size_t frames);
    // After the last input: queues the rest, up to where the sound has rung out.
    void finish();
    size_t queuedFrames() const { return (m_queue.size() - m_queueRead) / size_t(m_channels); }
    // Takes up to `maxFrames` queued frames into `out`; returns how many.
    size_t pop(float* out, size_t maxFrames);
    // The longest an input frame can wait until the output at its time is queued.
    GstClockTime latency() const;

private:
    struct ResamplerFree
    {
        void operator()(GstAudioResampler* resampler) const;
    };
    using ResamplerPtr = std::unique_ptr<GstAudioResampler, ResamplerFree>;

    ResamplerPtr makeResampler() const;
    void filterBlock();
    void queue(std::vector<float*>& planes, size_t frames);
    size_t resamplerDelay() const;

    int m_channels = 0;
    int m_inRate = 0;
    int m_outRate = 0;
    std::shared_ptr<const SteepFilter> m_filter;
    ResamplerPtr m_resampler;                   // none when the output is at the doubled rate
    std::vector<std::vector<float>> m_windows;  // per channel: the filter's history and new input
    std::vector<std::vector<float>> m_filtered; // per channel: one block of the filter's output
    size_t m_filled = 0;                        // new samples in the windows
    size_t m_leadIn = 0;                        // filtered samples kept before time 0
    size_t m_toSkip = 0;                        // filtered samples before time 0, still to drop
    guint64 m_framesIn = 0;                     // since the reset
    guint64 m_framesQueued = 0;                 // since the reset, taken ones included
    std::vector<float> m_queue;                 // interleaved output frames
    size_t m_queueRead = 0;                     // samples of m_queue already taken
};
