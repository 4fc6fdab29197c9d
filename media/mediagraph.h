#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

#include <QObject>
#include <QSize>
#include <QString>
#include <QTimer>

#include <gst/gst.h>

#include "media/audiooutput.h"
#include "media/pipelinethread.h"
#include "media/playbackgraph.h"
#include "media/videooutput.h"

// The playback graph of one media file over a GStreamer playbin.
//
// Its pipeline's state changes and seeks run on another thread, and every wait for them is
// bounded: the sound server is blamed when it has left a question unanswered for a second (or
// our stream, once it played, takes no sound), our own side when a press or a step takes longer
// than its generous limit. While the file opens the window's events run, and a stop then ends
// the opening: the file is not played. A graph whose pipeline outlasts a wait is hung: it ends
// like a broken stream, touches its pipeline no more, and is freed once the pipeline lets go.
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
    std::optional<QSize> SourceSize() const override;
    bool SetVideoWindow(VideoWindow setting, qint32 value) override;
    QString TakeOutputProblem() override;
    QString TakeOutputLoss() override;
    int OutputRate() const override;
    double HighestFrequency() const override;
    void setNotify(std::function<void()> notify) override { m_notify = std::move(notify); }

protected:
    bool event(QEvent* event) override;

private:
    using Clock = std::chrono::steady_clock;

    // The life of the graph; each rule of the player belongs to one of these.
    enum class Phase
    {
        Closed,    // nothing to play: no file yet, one that cannot be played, or a stopped opening
        Opening,   // RenderFile is making the file ready to play
        Open,      // ready: m_runState says stopped, paused or running
        Ended,     // the end of the media was reached: the position reads the duration
        BrokenOff, // the sound output failed while playing: it ends like the media's end
        Hung       // the pipeline outlasted a wait: it is not touched again; m_failure says why
    };
    // How a wait ended.
    enum class Wait
    {
        Done,
        Stopped,      // a stop during the opening
        ServerSilent, // the sound server left a question unanswered for a second
        Late          // our side took longer than the limit
    };

    ~MediaGraph() override;
    void release() override;

    struct ElementUnref
    {
        void operator()(GstElement* element) const;
    };
    using ElementPtr = std::unique_ptr<GstElement, ElementUnref>;

    static GstBusSyncReply postFromStreamingThread(GstBus* bus, GstMessage* message, gpointer self);
    void post();
    void takeStreamNews();
    void noteOutputError(GstMessage* message);
    QString knownFailure(const QString& sentence) const;
    bool rendered() const;
    bool hasAudio() const;
    bool open();
    bool followTheStream();
    void watchProgress();
    Clock::time_point deadline() const;
    Wait waitUntil(const std::function<bool()>& done, Clock::time_point until,
                   std::future<bool>* call = nullptr);
    // Runs `work` on the pipeline from another thread and waits for it (see waitUntil); a graph
    // whose work outlasts the wait is hung. False when the work failed or did not finish.
    bool call(std::function<bool(GstElement*)> work);
    bool changeState(GstState state);
    bool seek(double rate, double seconds);
    void hang(Wait why);
    void hang(const QString& why);
    // Pauses the pipeline (after the fade) and reports the graph as `state`.
    bool haltAs(RunState state);

    std::unique_ptr<AudioOutput> m_output;
    PipelineThread m_pipelineThread; // ends after the pipeline: it may be busy with it till then
    ElementPtr m_playbin;
    Phase m_phase = Phase::Closed;
    RunState m_runState = Stopped;
    QString m_failure; // why the graph hung, as it is reported
    bool m_failureTaken = false;
    // The press under way, from the opening to the first start, shares one limit.
    std::optional<Clock::time_point> m_pressDeadline;
    double m_rate = 1.0;
    std::optional<double> m_duration;
    int m_audioStreams = 0;
    // Set by the streaming threads, taken on the UI thread.
    std::atomic<bool> m_endOfStream = false;
    std::atomic<bool> m_streamError = false;
    mutable std::mutex m_outputErrorMutex;
    QString m_outputError; // the audio output's own error message; guarded by the mutex
    // While running: the last position read, and when it last moved on.
    gint64 m_lastPosition = -1;
    Clock::time_point m_lastMoved;
    Clock::time_point m_lastLook;
    QTimer m_watch; // looks at the running sound a few times a second
    VideoOutput m_video;
    std::function<void()> m_notify;
};
