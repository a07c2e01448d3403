#pragma once

#include <functional>

// Runs work on a worker thread while the calling thread stays in its event
// loop (painting, timers), calling tick there about ten times a second;
// returns once work has returned. The caller keeps the user's input away
// meanwhile. Without an application object, work simply runs.
void whileEventsFlow(const std::function<void()> &work, const std::function<void()> &tick = {});
