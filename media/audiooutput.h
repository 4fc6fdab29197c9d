#pragma once

#include <atomic>
#include <memory>

#include <QString>

#include <gst/gst.h>

#include "media/gainramp.h"
#include "media/soundserver.h"

// The way from the decoder to the listener: the sink (the desktop's sound server, or what
// PITCHWARDEN_AUDIO_SINK describes), a rate converter to the rate the sink really plays at so
// that no sound server resamples our stream, the balance, and the gain ramp that keeps starts
// and stops free of clicks. One output per playback graph; the graph owns the element.
//
// It also knows whether what it plays can be heard: it asks the sound server about the sink and,
// once the graph has opened it, follows our stream there (a mute, a volume at zero, a move to a
// sink of a lower rate).
class AudioOutput
{
public:
    // Asks the sound server for its sink, at most a second, running the window's events while
    // it waits.
    AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // The output as one element, for the playbin's audio sink; null when it could not be made.
    GstElement* element() const { return m_bin.get(); }
    // Whether a message comes from inside the output.
    bool contains(GstObject* source) const;

    // Once the graph has opened the output: waits (briefly, running the window's events) for the
    // sound server to report our stream, with the settings it applied to it.
    void awaitStream();
    // Why nothing played now could be heard, as a complete sentence that says what to do; empty
    // when the sound goes somewhere audible.
    QString problem() const;
    // Why the sound stopped reaching the listener while playing (the server gone, a mute);
    // empty while it still does. `brokeOff`: the stream itself ended in an error.
    QString loss(bool brokeOff) const;
    // The lowest rate on the way to the listener (ours or the server's sink's), 0 when unknown.
    int playbackRate() const;
    // The highest frequency that reaches the listener at its level; infinite when nothing is
    // known to limit it.
    double highestFrequency() const;

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
    GstElement* makeServerSink();
    bool playsToNowhere() const;
    QString silencedBy(const ServerState& state) const;
    void build(GstElement* sink);
    static GstPadProbeReturn rampBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer self);

    std::unique_ptr<GstElement, ObjectUnref> m_bin;
    GstElement* m_converter = nullptr; // owned by the bin
    GstElement* m_panorama = nullptr;  // owned by the bin
    GstElement* m_fallback = nullptr;  // the desktop's automatic choice, when there is no server
    std::unique_ptr<SoundServer> m_server;
    ServerState m_answer; // the server's first answer, which chose the sink
    int m_rate = 0;
    int m_balance = 0;
    GainRamp m_ramp;
    // Set by the streaming thread: stream time at which a ramp down reached silence.
    std::atomic<gint64> m_silentFrom = -1;
};
