#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <gst/gst.h>

// The thread that does one graph's pipeline work (state changes, seeks), one piece after another
// in the order asked: a piece the graph stopped waiting for (a sink whose server hangs, an
// opening the user stopped) still finishes before the next one begins, so the close that frees
// the graph never overtakes it.
class PipelineThread
{
public:
    PipelineThread();
    // Waits for the work asked for so far.
    ~PipelineThread();
    PipelineThread(const PipelineThread&) = delete;
    PipelineThread& operator=(const PipelineThread&) = delete;

    void post(std::function<void()> job);

private:
    void serve();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};

// One piece of work on a pipeline, done on the graph's pipeline thread while the caller waits a
// bounded time for it: the sink of a sound server that has stopped answering blocks such work
// for as long as the server does (half a minute and more), and the window must not freeze with
// it. A finished call wakes the application's event loop.
class PipelineCall
{
public:
    PipelineCall(PipelineThread& thread, GstElement* pipeline,
                 std::function<bool(GstElement*)> work);

    // The work's result, or nothing when it has not finished within `timeout`.
    std::optional<bool> wait(std::chrono::milliseconds timeout);
    bool finished() { return wait(std::chrono::milliseconds(0)).has_value(); }
    // Runs `then` once the work has finished: on the work's thread, or here at once when it has
    // finished already.
    void whenDone(std::function<void()> then);

private:
    struct State;
    std::shared_ptr<State> m_state;
};
