#pragma once

#include <condition_variable>
#include <mutex>

// A raised-cosine gain ramp over the audio on its way to the sound server, so that starting,
// stopping and pausing never click: a loud high tone cut off abruptly makes a broadband click,
// and a listener who hears the click believes they heard the tone. The streaming thread calls
// process(); the UI thread asks for ramps and waits for a ramp down to have been written.
class GainRamp
{
public:
    static constexpr double RampSeconds = 0.008;

    // From the next samples on: rise from silence (start, when silent) or fall to silence
    // (stop, pause). A fresh ramp rises from silence with its first samples.
    void rampUp();
    void rampDown();
    // Waits until a requested ramp down has passed (true), or `milliseconds` went by.
    bool waitUntilSilent(int milliseconds);
    // Applies the gain to interleaved float samples.
    void process(float* samples, int frames, int channels, int rate);

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
    std::condition_variable m_silent;
    Phase m_phase = Phase::Rising;
    int m_position = 0; // samples into the current ramp
};
