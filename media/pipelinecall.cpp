#include "media/pipelinecall.h"

#include <system_error>

#include <QCoreApplication>

// Without a thread to be had, the work runs where it is asked for, unbounded.
PipelineThread::PipelineThread()
{
    try {
        m_thread = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
    }
}

PipelineThread::~PipelineThread()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void PipelineThread::post(std::function<void()> job)
{
    if (!m_thread.joinable()) {
        job();
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_all();
}

void PipelineThread::serve()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

// Shared by the caller and the work, which may outlive the caller's wait.
struct PipelineCall::State
{
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool finished = false;
    bool result = false;
    std::function<void()> then;
};

PipelineCall::PipelineCall(PipelineThread& thread, GstElement* pipeline,
                           std::function<bool(GstElement*)> work)
    : m_state(std::make_shared<State>())
{
    // The work's own reference, dropped before it says it has finished: a caller that saw the
    // work finish then holds the pipeline's last reference, and frees it when it lets go.
    gst_object_ref(pipeline);
    thread.post([state = m_state, pipeline, work = std::move(work)] {
        const bool result = work(pipeline);
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
        // A caller that runs the window's events while it waits sleeps until an event comes.
        if (QCoreApplication* application = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                application, [] {}, Qt::QueuedConnection);
    });
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
