#include <atomic>

#include "platform/platform.h"

namespace platform {
namespace {

// Written by signal and console-event handlers: a lock-free atomic is all they may touch.
std::atomic<int> g_interruption{0};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

TestHooks& Hooks() {
  static TestHooks hooks;
  return hooks;
}

void ResetHooks() {
  Hooks() = TestHooks{};
  g_interruption.store(0);
}

int InterruptionCode() {
  return g_interruption.load();
}

int RecordInterruption(int code) {
  return g_interruption.exchange(code);
}

}  // namespace platform
