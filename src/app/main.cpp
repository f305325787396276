#include <string>
#include <vector>

#include "app/command_line.h"

#ifdef _WIN32
#include "platform/windows/wide_entry.h"
int wmain(int argc, wchar_t** argv) {
  return app::ProgramMain(platform::WideArguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  return app::ProgramMain(std::vector<std::string>(argv, argv + argc));
}
#endif
