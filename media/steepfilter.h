#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include <gst/fft/gstfftf32.h>

// The steep part of the rate converter: a low-pass at twice the input rate that passes the whole
// band the conversion keeps and stops everything from the band's edge on, so that it also makes
// the doubled rate out of the input (the input with a zero after each sample, whose band's mirror
// image above it the filter takes out). It is a Kaiser-windowed sinc of about seven thousand
// taps, applied by FFT (overlap-save) as its two phases at the input rate: the taps that meet
// input samples in the even output samples and those that meet them in the odd ones. Its cost
// per sample does not grow with its length. Designed once per process for each pair of rates and
// shared by every conversion between them; safe to use from several streaming threads at once.
class SteepFilter
{
public:
    // The filter for converting `inRate` to `outRate` (different rates).
    static std::shared_ptr<const SteepFilter> forRates(int inRate, int outRate);
    // The highest frequency it passes at its level (see RateConverter::PassbandTop).
    static double passbandTop(int inRate, int outRate);

    SteepFilter(int inRate, int outRate);
    ~SteepFilter();
    SteepFilter(const SteepFilter&) = delete;
    SteepFilter& operator=(const SteepFilter&) = delete;

    // The rate it runs at: twice the input's.
    int rate() const { return m_rate; }
    // Samples at its rate from an input sample to the middle of its response to it.
    int delay() const { return m_delay; }
    // Input samples each block takes: the last blockSize() of a window of windowSize(), after
    // the history() before them (each phase has history() + 1 taps at most).
    int blockSize() const { return m_windowSize - history(); }
    int history() const { return m_delay; }
    int windowSize() const { return m_windowSize; }

    // One block of overlap-save: writes the 2 × blockSize() output samples, at its rate, of the
    // window's new input samples to `out` (each output lies delay() samples after the input
    // that is at its middle).
    void apply(const float* window, float* out) const;

private:
    // The transforms and their work space, for one block at a time.
    struct Transforms;
    std::unique_ptr<Transforms> borrowTransforms() const;
    void returnTransforms(std::unique_ptr<Transforms> transforms) const;

    int m_rate = 0;
    int m_delay = 0;
    int m_windowSize = 0;
    // The spectra of the taps of even and of odd index, scaled for the inverse transform.
    std::vector<GstFFTF32Complex> m_evenResponse;
    std::vector<GstFFTF32Complex> m_oddResponse;
    mutable std::mutex m_idleMutex;
    mutable std::vector<std::unique_ptr<Transforms>> m_idle; // made once, reused by every block
};
