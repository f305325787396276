// The Windows platform layer, run under Wine in CI. Names and console text cross the edge as
// UTF-16; files keep exactly the bytes written.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/console_events.h"
#include "platform/windows/wide_entry.h"
#include "platform/windows/win32.h"
#include "support/test_support.h"

namespace {

using testing_support::SameBytes;

// A name with a letter outside Latin-1 and one outside the Basic Multilingual Plane.
const std::string kOddName = "Gr\u00FC\u00DFe-\u03A9-\U0001F3B2.bin";

TEST(WindowsText, ConvertsAtTheEdgeWithoutLosingOrCrashing) {
  EXPECT_EQ(platform::Narrow(platform::Widen(kOddName)), kOddName);
  EXPECT_EQ(platform::Widen("\xCE\xA9"), std::wstring(1, wchar_t{0x03A9}));
  // Malformed UTF-8 becomes replacement characters instead of failing the whole text.
  EXPECT_EQ(platform::Widen("a\xFFz"), (std::wstring{L'a', wchar_t{0xFFFD}, L'z'}));

  // Name limits count UTF-16 units: the die is a surrogate pair.
  EXPECT_EQ(platform::NameLength("\xF0\x9F\x8E\xB2"), 2u);
  EXPECT_EQ(platform::NameLength(kOddName), 14u);

  wchar_t program[] = L"C:\\x\\rngacq.exe";
  wchar_t option[] = {L'/', L'L', L'E', L'N', L'=', L'5', L'\0'};
  wchar_t name[] = {wchar_t{0x00FC}, L'.', L'b', L'i', L'n', L'\0'};
  wchar_t* argv[] = {program, option, name, nullptr, program};
  EXPECT_EQ(platform::WideArguments(3, argv),
            (std::vector<std::string>{"C:\\x\\rngacq.exe", "/LEN=5", "\xC3\xBC.bin"}));
  EXPECT_EQ(platform::WideArguments(5, argv).size(), 3u);  // stops at the null entry
}

TEST(WindowsFiles, DataAndLogFilesByUnicodeName) {
  testing_support::ScratchDir dir;
  const std::string data_path = dir / kOddName;
  const std::string block(1984, '\x5A');
  {
    platform::DataFile data;
    ASSERT_TRUE(data.Open(data_path));
    // Binary: no line-end translation, NUL kept; written bytes are in the file before it is closed.
    EXPECT_EQ(platform::DataFile::OpenCount(), 1);
    EXPECT_TRUE(data.Write(block.data(), block.size()));
    EXPECT_TRUE(data.Write("\n\r\0", 3));
    EXPECT_EQ(testing_support::ReadFile(data_path).size(), 1987u) << "before the close";
    EXPECT_TRUE(data.Close());
    EXPECT_FALSE(data.Write("x", 1)) << "after the close";
  }
  EXPECT_TRUE(SameBytes(testing_support::ReadFile(data_path), block + std::string("\n\r\0", 3)));
  EXPECT_TRUE(platform::FileExists(data_path));

  const std::string log_path = dir / "\xC3\xBC.wrn";
  {
    platform::LogFile log;
    // Created anew, the earlier text is gone; readers may look while the log is open.
    EXPECT_TRUE(log.Create(log_path));
    EXPECT_EQ(log.Write("old text that goes", 18), 18u);
    EXPECT_TRUE(log.Create(log_path)) << "created again";
    EXPECT_EQ(log.Write("\nline", 5), 5u);
    EXPECT_EQ(testing_support::ReadFile(log_path), "\nline");
  }
  EXPECT_TRUE(platform::DeleteFile(log_path));
  EXPECT_FALSE(platform::FileExists(log_path));
  EXPECT_FALSE(platform::DeleteFile(log_path)) << "deleted twice";

  // A NUL would cut the name short and reach another file.
  platform::DataFile cut;
  EXPECT_FALSE(cut.Open(data_path + std::string(1, '\0') + "x"));
  EXPECT_FALSE(platform::FileExists(data_path + std::string(1, '\0')));
  EXPECT_FALSE(cut.Open(dir / "missing-folder\\a.bin"));

  // Files left open are closed by CloseAll, and can then be removed.
  platform::DataFile first, second;
  ASSERT_TRUE(first.Open(dir / "1.bin"));
  ASSERT_TRUE(second.Open(dir / "2.bin"));
  EXPECT_EQ(platform::DataFile::OpenCount(), 2);
  EXPECT_EQ(platform::DataFile::CloseAll(), 2);
  EXPECT_FALSE(first.IsOpen());
  EXPECT_TRUE(platform::DeleteFile(dir / "1.bin"));
}

// Swaps one standard handle for the life of the object.
struct StandardHandle {
  StandardHandle(DWORD which, HANDLE replacement) : which_(which) { SetStdHandle(which, replacement); }
  ~StandardHandle() { SetStdHandle(which_, saved_); }
  const DWORD which_;
  const HANDLE saved_ = GetStdHandle(which_);
};

TEST(WindowsConsole, RedirectedInputNeverBlocksAndOutputKeepsItsBytes) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  {
    StandardHandle input(STD_INPUT_HANDLE, read_end);
    // Open but empty.
    const int no_key = platform::ReadKey();
    const int no_character = platform::ReadChar();
    EXPECT_EQ(no_key, -1);
    EXPECT_EQ(no_character, -1);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(write_end, "kc", 2, &written, nullptr));
    const int key = platform::ReadKey();
    const int character = platform::ReadChar();
    const int after = platform::ReadKey();
    EXPECT_EQ(key, 'k');
    EXPECT_EQ(character, 'c');
    EXPECT_EQ(after, -1);
  }
  {
    const HANDLE null_device = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
    StandardHandle input(STD_INPUT_HANDLE, null_device);
    EXPECT_EQ(platform::ReadKey(), -1);
    CloseHandle(null_device);
  }
  {
    // Redirected output is the program's UTF-8 as it stands: no code page, no added CR.
    StandardHandle output(STD_OUTPUT_HANDLE, write_end);
    platform::WriteStandardOutput("\nGr\u00FC\u00DFe\n");
    char buffer[64];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(read_end, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "\nGr\xC3\xBC\xC3\x9F\x65\n");
    // Data keep every byte, line feeds included; a reader that left is told from a failure.
    std::size_t sent = 0;
    EXPECT_EQ(platform::WriteStandardOutputData("a\nb\r\n", 5, sent), platform::DataWrite::Done);
    ASSERT_TRUE(ReadFile(read_end, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "a\nb\r\n");
    CloseHandle(read_end);
    EXPECT_EQ(platform::WriteStandardOutputData("x", 1, sent), platform::DataWrite::ReaderGone);
  }
  CloseHandle(write_end);
}

TEST(WindowsConsole, ConsoleEventsAskTheRunToStopWithExitCode130) {
  for (const DWORD event : {DWORD{CTRL_C_EVENT}, DWORD{CTRL_BREAK_EVENT}}) {
    platform::ResetHooks();
    EXPECT_TRUE(platform::OnConsoleEvent(event));
    EXPECT_EQ(platform::InterruptionCode(), 130);
  }
  platform::ResetHooks();
  EXPECT_EQ(platform::InterruptionCode(), 0);
}

TEST(WindowsPaths, AbsolutePathsAndTheProgramsOwn) {
  for (const char* path : {"C:\\data\\x.bin", "z:/x", "\\\\server\\share\\x"})
    EXPECT_TRUE(platform::IsAbsolutePath(path)) << path;
  // "C:x.bin" is relative to drive C's current folder, "\\x.bin" to the current drive.
  for (const char* path : {"C:x.bin", "\\x.bin", "x.bin", ""})
    EXPECT_FALSE(platform::IsAbsolutePath(path)) << path;

  const std::string program = platform::ExecutablePath();
  EXPECT_TRUE(platform::IsAbsolutePath(program)) << program;
  EXPECT_TRUE(program.ends_with(".exe")) << program;
  EXPECT_TRUE(platform::FileExists(program));
  EXPECT_TRUE(platform::IsAbsolutePath(platform::CurrentDirectory()));
}

TEST(WindowsProcess, PriorityIsRaisedAndRestored) {
  const auto after = [](void (*step)()) { return step(), GetPriorityClass(GetCurrentProcess()); };
  const DWORD before = GetPriorityClass(GetCurrentProcess());
  const DWORD raised = after(platform::RaisePriority);
  const DWORD restored = after(platform::RestorePriority);
  const DWORD restored_again = after(platform::RestorePriority);
  EXPECT_EQ(raised, static_cast<DWORD>(HIGH_PRIORITY_CLASS));
  EXPECT_EQ(restored, before);
  EXPECT_EQ(restored_again, before) << "the second restore has nothing saved any more";
}

// Without a manifest that names them, Windows 8.1 and later report themselves as 6.2 to the
// version query behind the system line.
TEST(WindowsProgram, DeclaresTheSystemsItSupportsInItsManifest) {
  const std::wstring path = platform::Widen(RNGACQ_PROGRAM);
  HMODULE program =
      LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(program, nullptr) << RNGACQ_PROGRAM << ": error " << GetLastError();
  const HRSRC found = FindResourceW(program, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr) << "no manifest of ID 1";
  const HGLOBAL loaded = LoadResource(program, found);
  const auto* bytes = static_cast<const char*>(LockResource(loaded));
  ASSERT_NE(bytes, nullptr);
  const std::string manifest(bytes, SizeofResource(program, found));
  FreeLibrary(program);
  for (const char* system :
       {"{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
    EXPECT_NE(manifest.find(system), std::string::npos) << system << " is missing from:\n" << manifest;
}

}  // namespace
