#pragma once

#include <atomic>
#include <memory>

#include <QString>

#include <gst/gst.h>

#include "media/gainramp.h"

// The way from the decoder to the listener: the sink (the desktop's sound server, or what
// PITCHWARDEN_AUDIO_SINK describes), a rate converter to the rate the sink really plays at so
// that no sound server resamples our stream, the balance, and the gain ramp that keeps starts
// and stops free of clicks. One output per playback graph; the graph owns the element.
class AudioOutput
{
public:
    AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // The output as one element, for the playbin's audio sink; null when it could not be made.
    GstElement* element() const { return m_bin.get(); }
    // The rate the sound leaves at: the sound server's own, or 0 where the sink's caps decide.
    int rate() const { return m_rate; }
    // Why the sound can reach no listener, once the output has been opened (the graph prerolled):
    // no sound server answered and the desktop's other outputs fell back to a sink that plays
    // to nowhere. Empty when the sound goes somewhere.
    QString problem() const;
    // Whether a message comes from inside the output.
    bool contains(GstObject* source) const;
    // After the stream broke off: why the sound server is gone, asked of the server again (the
    // sink's own error may come later than the stream's). Empty when it still answers, or when
    // the output is no sound server.
    QString serverGone() const;

    bool hasBalance() const { return m_panorama != nullptr; }
    int balance() const { return m_balance; }
    // -10000 left only .. 10000 right only; the other channel is attenuated by |balance|
    // hundredths of a decibel.
    void setBalance(int balance);

    // Sound rises from silence with the next samples.
    void rampUp() { m_ramp.rampUp(); }
    // Ramps the sound down and returns once `pipeline`'s position, which is what the listener
    // hears now, has passed the silence: pausing earlier would cut off the buffered sound
    // mid-wave, a click. Bounded, for a sink that stalls.
    void fadeOut(GstElement* pipeline);

private:
    struct ObjectUnref
    {
        void operator()(GstElement* element) const { gst_object_unref(element); }
    };

    GstElement* makeSink();
    void build(GstElement* sink);
    static GstPadProbeReturn rampBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer self);

    std::unique_ptr<GstElement, ObjectUnref> m_bin;
    GstElement* m_panorama = nullptr; // owned by the bin
    GstElement* m_fallback = nullptr; // the desktop's automatic choice, when no server answered
    QString m_noServer;               // why no sound server answered
    bool m_usesServer = false;
    int m_rate = 0;
    int m_balance = 0;
    GainRamp m_ramp;
    // Set by the streaming thread: stream time at which a ramp down reached silence.
    std::atomic<gint64> m_silentFrom = -1;
};
