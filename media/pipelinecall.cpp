#include "media/pipelinecall.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

// Shared by the caller and the work's thread, which may outlive the caller's wait.
struct PipelineCall::State
{
    std::function<bool(GstElement*)> work;
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;
    bool result = false;
    std::function<void()> then;
};

PipelineCall::PipelineCall(GstElement* pipeline, std::function<bool(GstElement*)> work)
    : m_state(std::make_shared<State>())
{
    m_state->work = std::move(work);
    // The thread's own reference, dropped before it says it has finished: a caller that saw the
    // work finish then holds the pipeline's last reference, and frees it when it lets go.
    gst_object_ref(pipeline);
    const auto run = [state = m_state, pipeline] {
        const bool result = state->work(pipeline);
        gst_object_unref(pipeline);
        std::function<void()> then;
        {
            std::lock_guard lock(state->mutex);
            state->finished = true;
            state->result = result;
            then = std::move(state->then);
        }
        state->finishedChanged.notify_all();
        if (then)
            then();
    };
    try {
        std::thread(run).detach();
    } catch (const std::system_error&) {
        run(); // no thread to be had: the work runs here, unbounded
    }
}

std::optional<bool> PipelineCall::wait(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_state->mutex);
    if (!m_state->finishedChanged.wait_for(lock, timeout, [this] { return m_state->finished; }))
        return std::nullopt;
    return m_state->result;
}

void PipelineCall::whenDone(std::function<void()> then)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->finished) {
            m_state->then = std::move(then);
            return;
        }
    }
    then();
}
