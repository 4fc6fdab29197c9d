#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <QObject>
#include <QSize>

#include <QString>

#include <gst/gst.h>

#include "media/audiooutput.h"
#include "media/videooutput.h"

// The playback graph of one media file over a GStreamer playbin. Every operation reports
// success or failure instead of raising. Like the classic media graphs it stands in for, a
// stop keeps the position, and at the end of the media the graph stays running with its
// position reading exactly the duration.
//
// No operation waits on the sound server for long: state changes and seeks run on another
// thread, bounded, and a graph whose sink stops answering (or stops taking sound while it
// plays) counts as hung from then on. A hung graph ends like a broken stream, touches its
// pipeline no more, and is freed on another thread once its sink lets go (MediaGraph::Release).
class MediaGraph : public QObject
{
    Q_OBJECT

public:
    // Frees a graph without waiting for a sink that does not answer.
    struct Release
    {
        void operator()(MediaGraph* graph) const;
    };
    using Ptr = std::unique_ptr<MediaGraph, Release>;
    static Ptr create();

    enum RunState
    {
        Stopped = 0,
        Paused = 1,
        Running = 2
    };

    bool RenderFile(const QString& path);
    bool Run();
    bool Pause();
    bool Stop();
    std::optional<int> GetState() const; // answers at once, never waits
    std::optional<double> Duration() const;
    // Also watches that a running graph's sound moves on: a sink that takes no sound for two
    // seconds has lost its sound server.
    std::optional<double> CurrentPosition();
    bool SetCurrentPosition(double seconds);
    std::optional<double> Rate() const;
    bool SetRate(double rate);
    std::optional<int> Volume() const; // hundredths of a decibel, 0 full, -10000 silence
    bool SetVolume(int volume);
    std::optional<int> Balance() const; // -10000 left only .. 10000 right only
    bool SetBalance(int balance);
    std::optional<int> SourceWidth() const;
    std::optional<int> SourceHeight() const;
    // Placement of the video window; each fails where the media has no video.
    bool SetWindowStyle(qint32 style);
    bool SetWindowTop(qint32 top);
    bool SetWindowLeft(qint32 left);
    bool SetWindowWidth(qint32 width);
    bool SetWindowHeight(qint32 height);
    bool SetWindowOwner(qint32 owner);
    bool SetWindowVisible(bool visible);
    // Why what is about to play could not be heard (no sound output, a server that does not
    // answer, a muted output), as a sentence that says what to do. Empty when it can be heard.
    // Each failure is given once, by this or by TakeOutputLoss, so that it is reported once.
    QString TakeOutputProblem();
    // Why the sound stopped reaching the listener after Run (the output lost, hung or muted).
    QString TakeOutputLoss();
    // The lowest rate on the way to the listener, 0 when unknown; and the highest frequency
    // that reaches the listener at its level, infinite when nothing is known to limit it.
    int OutputRate() const;
    double HighestFrequency() const;

signals:
    // End of stream, an error or a change of state (delivered on the UI thread).
    void notified();

protected:
    bool event(QEvent* event) override;

private:
    MediaGraph();
    ~MediaGraph() override;

    struct ElementUnref
    {
        void operator()(GstElement* element) const;
    };
    using ElementPtr = std::unique_ptr<GstElement, ElementUnref>;

    static GstBusSyncReply postFromStreamingThread(GstBus* bus, GstMessage* message, gpointer self);
    void dispatch();
    void noteOutputError(GstMessage* message);
    bool hasAudio() const;
    std::optional<QSize> videoSize() const;
    bool seek(double rate, double seconds);
    // Runs `work` on the pipeline from another thread, waiting at most `timeout`; a graph whose
    // work outlasts that is hung. False when it failed, timed out, or the graph is hung.
    bool call(std::function<bool(GstElement*)> work, std::chrono::milliseconds timeout);
    bool changeState(GstState state, std::chrono::milliseconds timeout);
    void hang(const QString& why);
    void fadeOutBeforePausing();
    bool endOfStreamSeen() const;
    // Pauses the pipeline (after the fade) and reports the graph as `state`.
    bool haltAs(RunState state);

    std::unique_ptr<AudioOutput> m_output;
    ElementPtr m_playbin;
    RunState m_state = Stopped;
    bool m_rendered = false;
    bool m_atEnd = false;
    double m_rate = 1.0;
    std::optional<double> m_duration;
    // Set by the streaming threads, read on the UI thread.
    std::atomic<bool> m_endOfStream = false;
    std::atomic<bool> m_streamError = false;
    std::mutex m_outputErrorMutex;
    QString m_outputError; // the audio output's own error message; guarded by the mutex
    QString m_failure;     // why the graph hung, as it is reported
    bool m_outputFailureTaken = false;
    bool m_hung = false;
    bool m_ran = false;      // Run was asked for since the file was opened
    bool m_brokeOff = false; // an error ended playback
    int m_audioStreams = 0;
    // The last position read while running, and when it last moved on.
    gint64 m_lastPosition = -1;
    std::chrono::steady_clock::time_point m_lastProgress;
    VideoOutput m_video;
};
