// The Windows driver backend. No USB device exists under Wine, so the overlapped machinery is
// exercised on a named pipe, whose "listen" request stays pending until a client connects.
#include "drivers/windows/windows_driver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "platform/windows/win32.h"

namespace {

using Ids = std::vector<usb::UsbId>;

constexpr std::uint32_t kPipeListen = 0x00110008;  // FSCTL_PIPE_LISTEN
constexpr std::uint32_t kPipePeek = 0x0011400C;    // FSCTL_PIPE_PEEK

// One named pipe: the server end opened for overlapped use, like a device handle.
struct Pipe {
  ~Pipe() {
    for (HANDLE end : {client, server})
      if (end != INVALID_HANDLE_VALUE) CloseHandle(end);
  }
  usb::Handle device() const { return reinterpret_cast<usb::Handle>(server); }

  const std::wstring name = L"\\\\.\\pipe\\rngacq-test-" + std::to_wstring(std::random_device{}());
  const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
  HANDLE client = INVALID_HANDLE_VALUE;
};

TEST(WindowsDriver, NoModuleIsPresentAndNothingOpens) {
  windows::WindowsDriver driver;
  for (const Ids& ids : {Ids{}, Ids{{0x04B4, 0x1004}}}) {
    auto list = driver.ListPresent(usb::kModuleInterfaceGuid, ids);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Enumerate(0), usb::kErrorNoMoreItems);
    EXPECT_FALSE(list->DevicePath(0).has_value());
  }
  usb::OpenFailure failure;
  EXPECT_EQ(driver.Open("\\\\?\\usb#vid_04b4&pid_1004#none#{ae18aa60-7f6a-11d4-97dd-00010229b959}", failure),
            usb::kInvalidHandle);
  EXPECT_FALSE(failure.reason.empty());
  EXPECT_EQ(driver.Open(std::string("NUL\0x", 5), failure), usb::kInvalidHandle);
  std::uint32_t returned = 7;
  std::uint8_t word[4] = {};
  EXPECT_FALSE(driver.Request(usb::kInvalidHandle, 0x220000, word, 4, word, 4, returned));
  EXPECT_EQ(returned, 0u);
  // Without a window there is never a registration, and "none" unregisters fine.
  EXPECT_EQ(driver.RegisterInterfaceNotification(nullptr, usb::kModuleInterfaceGuid), nullptr);
  EXPECT_TRUE(driver.UnregisterNotification(nullptr));
}

TEST(WindowsDriver, DevicePathsAreNarrowedByTheirIdentifiers) {
  const std::string path = "\\\\?\\USB#VID_04B4&PID_1004#5&1a2b#{ae18aa60-7f6a-11d4-97dd-00010229b959}";
  EXPECT_TRUE(windows::PathMatchesIds(path, Ids{}));
  EXPECT_TRUE(windows::PathMatchesIds(path, Ids{{0x04b4, 0x1004}}));
  EXPECT_TRUE(windows::PathMatchesIds(path, Ids{{0x1234, 0x0001}, {0x04B4, 0x1004}}));
  EXPECT_FALSE(windows::PathMatchesIds(path, Ids{{0x04b4, 0x1005}}));
  EXPECT_FALSE(windows::PathMatchesIds(path, Ids{{0x0004, 0x1004}}));  // whole fields, not a tail of them
}

TEST(WindowsDriver, OverlappedRequestPendsCompletesAndIsCollected) {
  windows::WindowsDriver driver;
  Pipe pipe;
  usb::CompletionRecord record{driver.CreateEvent(), nullptr};
  ASSERT_EQ(driver.RequestOverlapped(pipe.device(), kPipeListen, nullptr, 0, nullptr, 0, record),
            usb::kErrorIoPending);
  EXPECT_FALSE(driver.Collect(pipe.device(), record).complete);
  EXPECT_EQ(record.event->Wait(10), usb::WaitResult::TimedOut);

  pipe.client =
      CreateFileW(pipe.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(pipe.client, INVALID_HANDLE_VALUE);
  EXPECT_EQ(record.event->Wait(5000), usb::WaitResult::Signalled);
  EXPECT_EQ(record.event->Wait(0), usb::WaitResult::TimedOut);  // auto-reset
  record.event->Signal();
  EXPECT_EQ(record.event->Wait(0), usb::WaitResult::Signalled);
  const auto [complete, success, transferred, error] = driver.Collect(pipe.device(), record);
  EXPECT_TRUE(complete);
  EXPECT_TRUE(success);

  // A synchronous request answers in the caller's buffer, and only as much as the driver gave.
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(pipe.client, "abc", 3, &written, nullptr));
  ASSERT_EQ(written, 3u);
  std::vector<std::uint8_t> answer(32, 0xEE);
  std::uint32_t returned = 0;
  ASSERT_TRUE(driver.Request(pipe.device(), kPipePeek, nullptr, 0, answer.data(), 32, returned));
  // The 16-byte peek header (bytes available at 4), then the three bytes waiting.
  constexpr std::size_t kPeekHeader = 16;
  EXPECT_EQ(returned, kPeekHeader + 3);
  EXPECT_EQ(answer[4], 3) << "bytes available";
  EXPECT_EQ(std::string(answer.begin() + kPeekHeader, answer.begin() + kPeekHeader + 3), "abc");
  EXPECT_EQ(answer[kPeekHeader + 3], 0xEE) << "the byte after the answer";
}

TEST(WindowsDriver, RefusedAndUnfinishedRequestsNeverHang) {
  windows::WindowsDriver driver(50);
  Pipe pipe;
  usb::CompletionRecord record{driver.CreateEvent(), nullptr};

  // Refused at once: the code comes back and the outcome says so without waiting.
  const std::uint32_t refused =
      driver.RequestOverlapped(pipe.device(), 0x00220000, nullptr, 0, nullptr, 0, record);
  EXPECT_NE(refused, usb::kErrorSuccess);
  EXPECT_NE(refused, usb::kErrorIoPending);
  const auto [complete, success, transferred, error] = driver.Collect(pipe.device(), record);
  EXPECT_TRUE(complete);
  EXPECT_FALSE(success);
  EXPECT_EQ(error, refused);

  // A pending request dropped by its record is cancelled before its OVERLAPPED goes away.
  ASSERT_EQ(driver.RequestOverlapped(pipe.device(), kPipeListen, nullptr, 0, nullptr, 0, record),
            usb::kErrorIoPending);
  record.pending.reset();

  // A synchronous request the driver does not answer in time is cancelled and fails.
  std::uint32_t returned = 9;
  EXPECT_FALSE(driver.Request(pipe.device(), kPipeListen, nullptr, 0, nullptr, 0, returned));
  EXPECT_EQ(returned, 0u);

  // Only the driver's own events can be signalled by the system.
  usb::CompletionRecord foreign{usb::MakePortableEvent(), nullptr};
  EXPECT_NE(driver.RequestOverlapped(pipe.device(), kPipeListen, nullptr, 0, nullptr, 0, foreign),
            usb::kErrorIoPending);
  EXPECT_FALSE(driver.Collect(pipe.device(), foreign).success);
}

}  // namespace
