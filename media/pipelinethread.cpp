#include "media/pipelinethread.h"

#include <memory>
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

std::future<bool> PipelineThread::call(GstElement* pipeline, std::function<bool(GstElement*)> work)
{
    auto task = std::make_shared<std::packaged_task<bool(GstElement*)>>(std::move(work));
    std::future<bool> result = task->get_future();
    gst_object_ref(pipeline);
    post([task, pipeline] {
        (*task)(pipeline);
        gst_object_unref(pipeline);
        if (QCoreApplication* application = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                application, [] {}, Qt::QueuedConnection);
    });
    return result;
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
