#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QSize>
#include <QString>
#include <QtGlobal>

// The playback graph of one media file, as the player uses it. Every operation reports success
// or failure instead of raising. Like the classic media graphs it stands in for, a stop keeps
// the position, and at the end of the media the graph stays running with its position reading
// exactly the duration.
//
// The graph lives in the media library, which is loaded with GStreamer when the first file is
// opened (MediaLayer), so the program's window does not wait for GStreamer at start.
class PlaybackGraph
{
public:
    enum RunState
    {
        Stopped = 0,
        Paused = 1,
        Running = 2
    };

    // Frees a graph without waiting for a sink that does not answer.
    struct Release
    {
        void operator()(PlaybackGraph* graph) const { graph->release(); }
    };
    using Ptr = std::unique_ptr<PlaybackGraph, Release>;

    virtual bool RenderFile(const QString& path) = 0;
    virtual bool Run() = 0;
    virtual bool Pause() = 0;
    virtual bool Stop() = 0;
    virtual std::optional<int> GetState() const = 0; // answers at once, never waits
    virtual std::optional<double> Duration() const = 0;
    // Also watches that a running graph's sound moves on: a sink that takes no sound for two
    // seconds has lost its sound server.
    virtual std::optional<double> CurrentPosition() = 0;
    virtual bool SetCurrentPosition(double seconds) = 0;
    virtual std::optional<double> Rate() const = 0;
    virtual bool SetRate(double rate) = 0;
    virtual std::optional<int>
    Volume() const = 0; // hundredths of a decibel, 0 full, -10000 silence
    virtual bool SetVolume(int volume) = 0;
    virtual std::optional<int> Balance() const = 0; // -10000 left only .. 10000 right only
    virtual bool SetBalance(int balance) = 0;
    // The video's native size; nothing where the media has no video.
    virtual std::optional<QSize> SourceSize() const = 0;
    // Placement of the video window; each setting fails where the media has no video.
    enum class VideoWindow
    {
        Style,
        Top,
        Left,
        Width,
        Height,
        Owner,
        Visible
    };
    virtual bool SetVideoWindow(VideoWindow setting, qint32 value) = 0;
    // Why what is about to play could not be heard (no sound output, a server that does not
    // answer, a muted output), as a sentence that says what to do. Empty when it can be heard.
    // Each failure is given once, by this or by TakeOutputLoss, so that it is reported once.
    virtual QString TakeOutputProblem() = 0;
    // Why the sound stopped reaching the listener after Run (the output lost, hung or muted).
    virtual QString TakeOutputLoss() = 0;
    // The lowest rate on the way to the listener, 0 when unknown; and the highest frequency
    // that reaches the listener at its level, infinite when nothing is known to limit it.
    virtual int OutputRate() const = 0;
    virtual double HighestFrequency() const = 0;
    // Called on the UI thread at the end of stream, an error or a change of state.
    virtual void setNotify(std::function<void()> notify) = 0;

protected:
    virtual ~PlaybackGraph() = default;
    // Frees the graph; see Release.
    virtual void release() = 0;
};
