#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <QString>

#include <gst/gst.h>

#include "media/gainramp.h"
#include "media/soundserver.h"

// The way from the decoder to the listener: the sink (the desktop's sound server; without one
// the sound card through ALSA; or what PITCHWARDEN_AUDIO_SINK describes), a rate converter to the
// rate the sink really plays at so that nobody else resamples our stream, the balance, and the
// gain ramp that keeps starts and stops free of clicks. One output per playback graph; the graph
// owns the element.
//
// It also knows whether what it plays can be heard: it asks the sound server about the sink and,
// once the graph has opened it, follows our stream there (a mute, a volume at zero, a move to
// another sink, of another rate).
class AudioOutput
{
public:
    // Starts asking the sound server where to play, without waiting for it; `changed` is called
    // on another thread whenever the server's answers may have changed.
    explicit AudioOutput(std::function<void()> changed);
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // Asks the sound server the rate of its default sink, waiting a second at most; 0 without
    // an answer.
    static int defaultSinkRate();

    // Whether the output can be built: the server has answered, or there is none to ask.
    bool knowsWhereToPlay() const;
    // How long the sound server has left a question of ours unanswered.
    std::chrono::milliseconds serverSilence() const;
    // Settles where to play with what is known now: a server that has not answered gets a sink
    // that plays to nowhere, and the output says why.
    void choose();
    // Then builds the output there (on any thread); null when it could not be made.
    GstElement* build();
    GstElement* element() const { return m_bin.get(); }
    // Whether a message comes from inside the output.
    bool contains(GstObject* source) const;

    // Whether the server has said where our stream plays (or there is no server to say it).
    bool knowsWhereTheStreamPlays() const;
    // The rate of the sink our stream plays on, when our conversion is not to that rate.
    std::optional<int> rateToFollow() const;
    // Converts to `rate` from the next samples after a flush, and keeps the stream on the sink
    // it plays on now when the sink makes the stream anew for the new rate.
    void follow(int rate);

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
    GstElement* makeCardSink();
    void assemble(GstElement* sink);
    static GstPadProbeReturn onOutput(GstPad* pad, GstPadProbeInfo* info, gpointer self);
    void rampBuffer(GstPad* pad, GstBuffer* buffer);

    std::unique_ptr<SoundServer> m_server;
    std::chrono::steady_clock::time_point m_asked = std::chrono::steady_clock::now();
    std::optional<ServerState> m_chosen; // the server's answer that chose the sink
    QString m_noCard; // why no sound card could be opened, where there is no server
    std::unique_ptr<GstElement, ObjectUnref> m_bin;
    GstElement* m_converter = nullptr;  // owned by the bin
    GstElement* m_panorama = nullptr;   // owned by the bin
    GstElement* m_serverSink = nullptr; // owned by the bin
    int m_rate = 0;                     // what the converter converts to; 0: as the sink takes it
    int m_balance = 0;
    GainRamp m_ramp;
    // Set by the streaming thread: stream time at which a ramp down reached silence.
    std::atomic<gint64> m_silentFrom = -1;
};
