#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <gst/gst.h>

// The thread that does one graph's pipeline work (state changes, seeks), one piece after another
// in the order asked. The caller waits a bounded time for each piece: the sink of a sound server
// that has stopped answering blocks such work for as long as the server does (half a minute and
// more), and the window must not freeze with it. A piece the caller stopped waiting for still
// finishes before the next one begins, so the close that frees the graph never overtakes it.
class PipelineThread
{
public:
    PipelineThread();
    // Waits for the work asked for so far.
    ~PipelineThread();
    PipelineThread(const PipelineThread&) = delete;
    PipelineThread& operator=(const PipelineThread&) = delete;

    // Queues `work` on `pipeline` (which it holds meanwhile); its result, once done. A finished
    // piece wakes the application's event loop, for a caller that runs it while it waits.
    std::future<bool> call(GstElement* pipeline, std::function<bool(GstElement*)> work);
    // Queues `job` after the work asked for so far.
    void post(std::function<void()> job);

private:
    void serve();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};
