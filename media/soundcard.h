#pragma once

#include <QString>

// The sound card that ALSA's default device plays to, where no sound server runs. ALSA's default
// device converts any rate to the card's own, with a converter (linear, or speex) that damps the
// top tones and mirrors them into the audible band; asked without that conversion, as
// `aplay --disable-resample` asks, it tells the rate the card really plays at.
struct SoundCard
{
    static constexpr const char* Device = "default";

    int rate = 0;  // 0 when the device could not be opened
    QString error; // then ALSA's words for why

    // Asks for the rate nearest `wanted` that plays without ALSA's conversion.
    static SoundCard probe(int wanted);
};
