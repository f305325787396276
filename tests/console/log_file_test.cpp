// The warning log's file: what a write reports is what the file holds, and a log that is not
// open takes nothing.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
