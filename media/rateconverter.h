#pragma once

#include <gst/gst.h>

// A sample-rate converter element for the audio output, with a filter that stays flat up to the
// very top of the source band: a 22.0 kHz tone recorded at 44.1 kHz has its mirror image only
// 100 Hz above it, at 22.1 kHz, and the stock converters (the `audioresample` element, the sound
// servers' own) either damp the tone or let the mirror through. The steep filter is applied by
// FFT, so it costs about as much as a stock converter (see RateConversion). Float samples only
// (F32 in the machine's order), any channel count.
//
// Its "rate" property names the rate to convert to; 0 takes the rate downstream accepts that is
// nearest the input's. Equal rates pass straight through.
namespace RateConverter {

// The element's factory name.
inline constexpr const char* FactoryName = "pitchwardenrateconvert";

// Registers the element once per process; safe to call again.
void registerElement();

// Filter design: the transition from pass to stop is this share of the input rate wide (88 Hz
// at 44.1 kHz), and everything beyond it is at least this far down. Going up, the transition
// lies around the input's half rate, so 22.0 kHz passes within 0.05 dB and its mirror image at
// 22.1 kHz is stopped; going down, it ends at the output's half rate, so nothing above that
// folds back into the band.
inline constexpr double TransitionBandwidth = 0.002;
inline constexpr double StopAttenuationDb = 110.0;

// The highest frequency that a conversion from `inRate` to `outRate` passes at its level: the
// whole band of the lower rate but the transition to the stop band. Equal rates pass everything
// below half the rate. A tone at or above it does not reach the listener intact.
double PassbandTop(int inRate, int outRate);

} // namespace RateConverter
