#pragma once

#include <functional>

// Yields once to pending window events: runs every event that is waiting, then returns. Other
// event procedures (a second press of a tone button, a close) may run inside it.
void DoEvents();

// Replaces what DoEvents does (tests use this to inject events at a yield); an empty handler
// restores the default.
void setDoEventsHandler(std::function<void()> handler);
