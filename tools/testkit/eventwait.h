#pragma once

#include <functional>

// Runs the caller's event loop until done() holds or timeoutMs pass (false
// then); each turn waits at most sliceMs for events. For the benchmark
// programs, which drive emulators and services in their own thread.
bool waitForEvents(const std::function<bool()> &done, int timeoutMs, int sliceMs = 20);

// Runs the event loop for ms.
void runEventsFor(int ms);
