#include "media/steepfilter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <utility>

#include "media/rateconverter.h"

namespace {

struct FftFree
{
    void operator()(GstFFTF32* fft) const { gst_fft_f32_free(fft); }
};
using FftPtr = std::unique_ptr<GstFFTF32, FftFree>;

// The modified Bessel function of order zero, by its power series (the window's arguments stay
// under 15, where it converges within some forty terms).
double besselI0(double x)
{
    const double quarterSquare = x * x / 4;
    double sum = 1;
    double term = 1;
    for (int k = 1; term > sum * 1e-17; ++k) {
        term *= quarterSquare / (double(k) * k);
        sum += term;
    }
    return sum;
}

// Where the filter turns from pass to stop, in Hz: the middle of its transition band, whose width
// is a fixed share of the input rate (so the filter's length is the same at every rate).
struct Edge
{
    double middle = 0;
    double width = 0;
};

Edge edgeFor(int inRate, int outRate)
{
    const double width = RateConverter::TransitionBandwidth * inRate;
    // Going up, the input's mirror images begin at its half rate: a tone just under it has its
    // image as far above it. Going down, nothing above the output's half rate may pass, as it
    // would fold back into the band.
    if (outRate > inRate)
        return {inRate / 2.0, width};
    return {outRate / 2.0 - width / 2, width};
}

} // namespace

struct SteepFilter::Transforms
{
    explicit Transforms(int size)
        : forward(gst_fft_f32_new(size, FALSE)), inverse(gst_fft_f32_new(size, TRUE)),
          spectrum(size_t(size / 2 + 1)), product(size_t(size / 2 + 1)), samples(size_t(size))
    {}

    FftPtr forward;
    FftPtr inverse;
    std::vector<GstFFTF32Complex> spectrum;
    std::vector<GstFFTF32Complex> product;
    std::vector<float> samples;
};

std::shared_ptr<const SteepFilter> SteepFilter::forRates(int inRate, int outRate)
{
    static std::mutex mutex;
    static std::map<std::pair<int, int>, std::shared_ptr<const SteepFilter>> designs;
    // Every conversion up from a rate has the same filter.
    const std::pair<int, int> key(inRate, outRate > inRate ? 0 : outRate);
    const std::lock_guard lock(mutex);
    std::shared_ptr<const SteepFilter>& design = designs[key];
    if (!design)
        design = std::make_shared<const SteepFilter>(inRate, outRate);
    return design;
}

double SteepFilter::passbandTop(int inRate, int outRate)
{
    if (inRate == outRate)
        return inRate / 2.0;
    const Edge edge = edgeFor(inRate, outRate);
    return edge.middle - edge.width / 2;
}

// A Kaiser-windowed sinc (Kaiser's formulas for the length and the window's shape), twice the
// usual height since every other sample of its input is a stuffed zero.
SteepFilter::SteepFilter(int inRate, int outRate) : m_rate(2 * inRate)
{
    const Edge edge = edgeFor(inRate, outRate);
    const double attenuation = RateConverter::StopAttenuationDb;
    const double beta = 0.1102 * (attenuation - 8.7);
    const double order = std::ceil((attenuation - 7.95) / (2.285 * 2 * M_PI * edge.width / m_rate));
    m_delay = int(order + 1) / 2;
    // A window at least twice as long as a phase: each block then costs its transforms over at
    // least as many new samples as the filter has taps in a phase.
    m_windowSize = int(std::bit_ceil(unsigned(2 * (m_delay + 1))));

    // The taps of even index make one phase, those of odd index the other; each phase is
    // symmetric, like the whole, and is zero-padded to the window. Their spectra are scaled so
    // that the unscaled inverse transform gives the filtered samples.
    auto transforms = std::make_unique<Transforms>(m_windowSize);
    std::vector<float>& taps = transforms->samples;
    const double cutoff = edge.middle / m_rate; // cycles per sample
    const double windowScale = 1 / besselI0(beta);
    for (auto [phase, response] : {std::pair(0, &m_evenResponse), std::pair(1, &m_oddResponse)}) {
        std::fill(taps.begin(), taps.end(), 0.0f);
        for (int k = phase; k <= m_delay; k += 2) {
            const double t = k - m_delay;
            const double sinc = t == 0 ? 2 * cutoff : std::sin(2 * M_PI * cutoff * t) / (M_PI * t);
            const double r = t / m_delay;
            const float tap = float(2 * sinc * besselI0(beta * std::sqrt(1 - r * r)) * windowScale);
            taps[size_t(k / 2)] = tap;
            taps[size_t((2 * m_delay - k) / 2)] = tap;
        }
        response->resize(size_t(m_windowSize / 2 + 1));
        gst_fft_f32_fft(transforms->forward.get(), taps.data(), response->data());
        for (GstFFTF32Complex& bin : *response) {
            bin.r /= float(m_windowSize);
            bin.i /= float(m_windowSize);
        }
    }
    m_idle.push_back(std::move(transforms));
}

SteepFilter::~SteepFilter() = default;

// The window's spectrum is taken once and filtered by each phase; the phases' outputs are the
// even and the odd output samples.
void SteepFilter::apply(const float* window, float* out) const
{
    std::unique_ptr<Transforms> transforms = borrowTransforms();
    gst_fft_f32_fft(transforms->forward.get(), window, transforms->spectrum.data());
    for (const int phase : {0, 1}) {
        const std::vector<GstFFTF32Complex>& response = phase == 0 ? m_evenResponse : m_oddResponse;
        for (size_t bin = 0; bin < response.size(); ++bin) {
            const GstFFTF32Complex x = transforms->spectrum[bin];
            const GstFFTF32Complex h = response[bin];
            transforms->product[bin] = {x.r * h.r - x.i * h.i, x.r * h.i + x.i * h.r};
        }
        gst_fft_f32_inverse_fft(transforms->inverse.get(), transforms->product.data(),
                                transforms->samples.data());
        // The first history() samples wrapped around the window; the rest are the phase's output.
        for (int n = 0; n < blockSize(); ++n)
            out[2 * n + phase] = transforms->samples[size_t(history() + n)];
    }
    returnTransforms(std::move(transforms));
}

// GStreamer's transforms keep work space of their own, so each is used by one block at a time;
// a stream borrows a set for each block, and a second set is made only when two streams filter
// at the same moment.
std::unique_ptr<SteepFilter::Transforms> SteepFilter::borrowTransforms() const
{
    {
        const std::lock_guard lock(m_idleMutex);
        if (!m_idle.empty()) {
            std::unique_ptr<Transforms> transforms = std::move(m_idle.back());
            m_idle.pop_back();
            return transforms;
        }
    }
    return std::make_unique<Transforms>(m_windowSize);
}

void SteepFilter::returnTransforms(std::unique_ptr<Transforms> transforms) const
{
    const std::lock_guard lock(m_idleMutex);
    m_idle.push_back(std::move(transforms));
}
