// The warning log's file: what a write reports is what the file holds, and a log that is not
// open takes nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "support/test_support.h"

namespace {

TEST(LogFile, WritesReportTheBytesTheFileTookAndNoneWhileClosed) {
  testing_support::ScratchDir dir;
  platform::LogFile log;
  EXPECT_EQ(log.Write("early", 5), 0u) << "never opened";
  ASSERT_TRUE(log.Create(dir / "x.wrn"));
  EXPECT_EQ(log.Write("line\n", 5), 5u);
  EXPECT_EQ(log.Write("", 0), 0u);
  log.Close();
  EXPECT_EQ(log.Write("late", 4), 0u) << "closed";
  EXPECT_EQ(testing_support::ReadFile(dir / "x.wrn"), "line\n");
  // Created again: the file starts empty.
  ASSERT_TRUE(log.Create(dir / "x.wrn"));
  EXPECT_EQ(log.Write("new", 3), 3u);
  log.Close();
  EXPECT_EQ(testing_support::ReadFile(dir / "x.wrn"), "new");
}

#ifndef _WIN32
// A program started with its standard input closed gets descriptor 0 for the first file it
// opens: the log and the data file must take it like any other.
TEST(LogFile, AndTheDataFileTakeDescriptorZeroWhenStandardInputIsClosed) {
  testing_support::ScratchDir dir;
  const int saved_input = ::dup(0);
  ASSERT_GE(saved_input, 0);
  ::close(0);
  platform::LogFile log;
  const bool log_created = log.Create(dir / "x.wrn");
  const std::uint32_t logged = log.Write("line\n", 5);
  log.Close();
  platform::DataFile data;
  const bool data_opened = data.Open(dir / "x.bin");
  const bool data_written = data.Write("bytes", 5);
  data.Close();
  ::dup2(saved_input, 0);
  ::close(saved_input);
  EXPECT_TRUE(log_created);
  EXPECT_EQ(logged, 5u);
  EXPECT_EQ(testing_support::ReadFile(dir / "x.wrn"), "line\n");
  EXPECT_TRUE(data_opened);
  EXPECT_TRUE(data_written);
  EXPECT_EQ(testing_support::ReadFile(dir / "x.bin"), "bytes");
}
#endif

}  // namespace
