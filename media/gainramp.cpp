#include "media/gainramp.h"

#include <cmath>

void GainRamp::rampUp()
{
    std::lock_guard lock(m_mutex);
    if (m_phase != Phase::Silent)
        return;
    m_phase = Phase::Rising;
    m_position = 0;
}

void GainRamp::restart()
{
    std::lock_guard lock(m_mutex);
    m_phase = Phase::Rising;
    m_position = 0;
}

bool GainRamp::open()
{
    std::lock_guard lock(m_mutex);
    return m_phase == Phase::Open;
}

void GainRamp::rampDown()
{
    std::lock_guard lock(m_mutex);
    if (m_phase == Phase::Silent)
        return;
    m_phase = Phase::Falling;
    m_position = 0;
}

// Raised cosine from 0 to 1 over the ramp.
float GainRamp::gainAt(int rampSamples)
{
    const double x = std::min(1.0, double(m_position) / rampSamples);
    return float(0.5 - 0.5 * std::cos(M_PI * x));
}

int GainRamp::process(float* samples, int frames, int channels, int rate)
{
    std::lock_guard lock(m_mutex);
    const int rampSamples = std::max(1, int(RampSeconds * rate));
    int silentFrom = -1;
    for (int frame = 0; frame < frames; ++frame) {
        float gain = 1.0f;
        switch (m_phase) {
        case Phase::Open:
            continue;
        case Phase::Rising:
            gain = gainAt(rampSamples);
            if (++m_position >= rampSamples)
                m_phase = Phase::Open;
            break;
        case Phase::Falling:
            gain = 1.0f - gainAt(rampSamples);
            if (++m_position >= rampSamples) {
                m_phase = Phase::Silent;
                silentFrom = frame + 1;
            }
            break;
        case Phase::Silent:
            gain = 0.0f;
            break;
        }
        for (int channel = 0; channel < channels; ++channel)
            samples[frame * channels + channel] *= gain;
    }
    return silentFrom;
}
