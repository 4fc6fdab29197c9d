#pragma once

#include <atomic>
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
class MediaGraph : public QObject
{
    Q_OBJECT

public:
    enum RunState
    {
        Stopped = 0,
        Paused = 1,
        Running = 2
    };

    MediaGraph();
    ~MediaGraph() override;

    bool RenderFile(const QString& path);
    bool Run();
    bool Pause();
    bool Stop();
    std::optional<int> GetState() const; // answers at once, never waits
    std::optional<double> Duration() const;
    std::optional<double> CurrentPosition() const;
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
    // Why the sound cannot reach a listener: an error of the audio output, or an output that
    // plays to nowhere. Given once, so that one failure is reported once; empty otherwise.
    QString TakeOutputFailure();

signals:
    // End of stream, an error or a change of state (delivered on the UI thread).
    void notified();

protected:
    bool event(QEvent* event) override;

private:
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
    QString m_outputError; // why the audio output failed; guarded by the mutex
    bool m_outputFailureTaken = false;
    bool m_brokeOff = false;    // an error ended playback
    bool m_serverAsked = false; // whether the sound server was asked after that
    VideoOutput m_video;
};
