#pragma once
// A real gnome-keyring daemon on a private session bus, for tests that must talk
// to the Secret Service itself.
//
// The outer test calls runUnderPrivateKeyring with a test filter: it re-runs
// this test executable under dbus-run-session with a temporary HOME and a
// keyring daemon unlocked from standard input, selecting the inner tests
// (named DISABLED_..., so they never run on their own). The inner tests see
// insidePrivateKeyring() true and wait for the daemon with
// waitForUnlockedDefaultCollection before they use it.
#include "core/platform/process.h"

#include <chrono>
#include <optional>
#include <string>

namespace kx::test {

bool insidePrivateKeyring();

// Why the keyring cannot be run here (a program missing), or nothing.
std::optional<std::string> privateKeyringUnavailable();

// Runs this executable's tests matching `filter` inside the private bus.
ProcessResult runUnderPrivateKeyring(const std::string& filter, std::chrono::seconds timeout);

// Waits until the daemon owns the Secret Service name and its default
// collection exists and is unlocked; returns why it gave up, or empty.
std::string waitForUnlockedDefaultCollection(std::chrono::seconds deadline);

} // namespace kx::test
