// The emulated USB bus exists only for processes running under umockdev's preload library. So
// that the test program can be started like any other (by ctest, by hand), it starts itself
// again under the library before any test runs; the programs it spawns inherit it. Should that
// not work, the tests report why and skip.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "libusb/emulated_module.h"

namespace {

constexpr const char* kMarker = "RNGACQ_TEST_UMOCKDEV_RESTARTED";

// Adds `value` to a list variable, ahead of what it held or (`last`) behind it, where it wins.
void AddToVariable(const char* name, const std::string& value, bool last) {
  const std::string old = std::getenv(name) != nullptr ? std::getenv(name) : "";
  const std::string combined = old.empty() ? value : last ? old + ':' + value : value + ':' + old;
  setenv(name, combined.c_str(), 1);
}

// glibc hands the program's arguments to the functions of .init_array.
void RestartUnderPreload(int, char** argv, char**) {
  if (emulated::Unavailable().empty() || std::getenv(kMarker) != nullptr) return;
  setenv(kMarker, "1", 1);
  AddToVariable("LD_PRELOAD", "libumockdev-preload.so.0", false);
  // A sanitizer build must accept a library loaded ahead of its runtime. Leak checking stays
  // as the caller set it: the emulation leaves no leak report of its own.
  AddToVariable("ASAN_OPTIONS", "verify_asan_link_order=0", true);
  execv("/proc/self/exe", argv);
  // Still here: the tests find no mock environment and say so.
}

[[gnu::used, gnu::section(".init_array")]] void (*const restart)(int, char**, char**) = RestartUnderPreload;

}  // namespace
