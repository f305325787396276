// The process's scheduling priority during a run: raised while it acquires, then exactly the one
// it had before.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "platform/platform.h"

namespace {

int Nice() {
  return ::getpriority(PRIO_PROCESS, 0);
}

TEST(Priority, RaisedByFiveWherePermittedThenRestoredOnce) {
  const int before = Nice();
  platform::RaisePriority();
  if (::geteuid() == 0) {
    EXPECT_EQ(Nice(), std::max(before - 5, -20)) << "root may raise it";
  } else {
    EXPECT_LE(Nice(), before);
  }
  platform::RestorePriority();
  EXPECT_EQ(Nice(), before);
  platform::RestorePriority();  // nothing saved any more
  EXPECT_EQ(Nice(), before);
}

// -1 is a priority like any other, though getpriority also answers it on failure.
TEST(Priority, OfMinusOneIsRaisedAndRestoredLikeAnyOther) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may set a priority below 0";
  const int before = Nice();
  ASSERT_EQ(::setpriority(PRIO_PROCESS, 0, -1), 0);
  platform::RaisePriority();
  const int raised = Nice();
  platform::RestorePriority();
  const int restored = Nice();
  ::setpriority(PRIO_PROCESS, 0, before);
  EXPECT_EQ(raised, -6);
  EXPECT_EQ(restored, -1);
}

}  // namespace
#endif
