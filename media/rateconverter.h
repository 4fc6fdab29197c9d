#pragma once

#include <gst/gst.h>

// A sample-rate converter element for the audio output, built on GStreamer's own resampler
// library with a filter that stays flat up to the very top of the source band: a 22.0 kHz tone
// recorded at 44.1 kHz has its mirror image only 100 Hz above it, at 22.1 kHz, and the stock
// converters (the `audioresample` element, the sound servers' own) either damp the tone or let
// the mirror through. Float samples only (F32 in the machine's order), any channel count.
//
// Its "rate" property names the rate to convert to; 0 takes the rate downstream accepts that is
// nearest the input's. Equal rates pass straight through.
namespace RateConverter {

// The element's factory name.
inline constexpr const char* FactoryName = "pitchwardenrateconvert";

// Registers the element once per process; safe to call again.
void registerElement();

// Filter design: passes 0 .. 22.0 kHz of a 44.1 kHz source within 0.05 dB and stops its mirror
// images at least 100 dB down.
inline constexpr double TransitionBandwidth = 0.002;
inline constexpr double StopAttenuationDb = 100.0;

// The highest frequency that a conversion from `inRate` to `outRate` passes at its level: the
// whole band of the lower rate but its transition to the stop band. Equal rates pass everything
// below half the rate. A tone at or above it does not reach the listener intact.
double PassbandTop(int inRate, int outRate);

} // namespace RateConverter
