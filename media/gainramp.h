#pragma once

#include <mutex>

// A raised-cosine gain ramp over the audio on its way to the sound server, so that starting,
// stopping and pausing never click: a loud high tone cut off abruptly makes a broadband click,
// and a listener who hears the click believes they heard the tone. The streaming thread calls
// process(); the UI thread asks for ramps.
class GainRamp
{
public:
    static constexpr double RampSeconds = 0.008;

    // From the next samples on: rise from silence (start, when silent) or fall to silence
    // (stop, pause). A fresh ramp rises from silence with its first samples.
    void rampUp();
    void rampDown();
    // The sound starts anew (after a flush): it rises from silence with the next samples.
    void restart();
    // Whether the samples pass as they are (no ramp under way, not silenced).
    bool open();
    // Applies the gain to interleaved float samples. Returns the frame of this block at which a
    // ramp down reached silence, or -1 when none did: the caller then knows which sample the
    // listener must have heard before the output can be cut.
    int process(float* samples, int frames, int channels, int rate);

private:
    enum class Phase
    {
        Open,
        Rising,
        Falling,
        Silent
    };

    float gainAt(int rampSamples);

    std::mutex m_mutex;
    Phase m_phase = Phase::Rising;
    int m_position = 0; // samples into the current ramp
};
