#include "platform/platform.h"

namespace platform {

TestHooks& Hooks() {
  static TestHooks hooks;
  return hooks;
}

void ResetHooks() {
  Hooks() = TestHooks{};
}

}  // namespace platform
