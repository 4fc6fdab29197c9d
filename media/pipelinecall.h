#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <gst/gst.h>

// One piece of work on a pipeline (a state change, a seek), run on a thread of its own while the
// caller waits a bounded time for it: the sink of a sound server that has stopped answering blocks
// such work for as long as the server does (half a minute and more), and the window must not freeze
// with it.
class PipelineCall
{
public:
    PipelineCall(GstElement* pipeline, std::function<bool(GstElement*)> work);

    // The work's result, or nothing when it has not finished within `timeout`.
    std::optional<bool> wait(std::chrono::milliseconds timeout);
    // Runs `then` once the work has finished: on the work's thread, or here at once when it has
    // finished already.
    void whenDone(std::function<void()> then);

private:
    struct State;
    std::shared_ptr<State> m_state;
};
