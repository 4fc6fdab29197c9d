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
#include "media/playbackgraph.h"
#include "media/videooutput.h"

// The playback graph of one media file over a GStreamer playbin.
//
// No operation waits on the sound server for long: state changes and seeks run on another
// thread, bounded, and a graph whose sink stops answering (or stops taking sound while it
// plays) counts as hung from then on. A hung graph ends like a broken stream, touches its
// pipeline no more, and is freed on another thread once its sink lets go (release()).
class MediaGraph : public QObject, public PlaybackGraph
{
public:
    MediaGraph();

    bool RenderFile(const QString& path) override;
    bool Run() override;
    bool Pause() override;
    bool Stop() override;
    std::optional<int> GetState() const override;
    std::optional<double> Duration() const override;
    std::optional<double> CurrentPosition() override;
    bool SetCurrentPosition(double seconds) override;
    std::optional<double> Rate() const override;
    bool SetRate(double rate) override;
    std::optional<int> Volume() const override;
    bool SetVolume(int volume) override;
    std::optional<int> Balance() const override;
    bool SetBalance(int balance) override;
    std::optional<int> SourceWidth() const override;
    std::optional<int> SourceHeight() const override;
    bool SetWindowStyle(qint32 style) override;
    bool SetWindowTop(qint32 top) override;
    bool SetWindowLeft(qint32 left) override;
    bool SetWindowWidth(qint32 width) override;
    bool SetWindowHeight(qint32 height) override;
    bool SetWindowOwner(qint32 owner) override;
    bool SetWindowVisible(bool visible) override;
    QString TakeOutputProblem() override;
    QString TakeOutputLoss() override;
    int OutputRate() const override;
    double HighestFrequency() const override;
    void setNotify(std::function<void()> notify) override { m_notify = std::move(notify); }

protected:
    bool event(QEvent* event) override;

private:
    ~MediaGraph() override;
    void release() override;

    struct ElementUnref
    {
        void operator()(GstElement* element) const;
    };
    using ElementPtr = std::unique_ptr<GstElement, ElementUnref>;

    static GstBusSyncReply postFromStreamingThread(GstBus* bus, GstMessage* message, gpointer self);
    void dispatch();
    void noteOutputError(GstMessage* message);
    QString knownFailure(const QString& sentence) const;
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
    mutable std::mutex m_outputErrorMutex;
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
    std::function<void()> m_notify;
};
