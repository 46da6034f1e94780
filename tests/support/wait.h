#pragma once
// Waiting in tests for something to happen (a server listening, a process gone,
// a file appearing), instead of sleeping for a fixed time.
#include <chrono>
#include <thread>

namespace kx::test {

// Checks the condition until it holds or the time is up, resting briefly between
// checks. Returns whether it held.
template <typename Condition>
bool waitUntil(Condition&& condition, std::chrono::milliseconds timeout,
               std::chrono::microseconds between = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(between);
    }
}

} // namespace kx::test
