#include "jobserver/resource_limits.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>

#include "base/settings.h"
#include "jobserver/test_support.h"

namespace kiln::jobserver {
namespace {

using testing_support::run_in_child;

TEST(LoadLimit, DefaultMeansNoLimit) {
  cfg = settings();
  EXPECT_TRUE(load_ok());
  cfg.load_limit = 1e300;
  EXPECT_TRUE(load_ok());
}

TEST(LoadLimit, ComparesTheOneMinuteLoad) {
  double load;
  ASSERT_EQ(getloadavg(&load, 1), 1);
  cfg.load_limit = load + 1000;
  EXPECT_TRUE(load_ok());
  cfg.load_limit = -1;  // no load is below zero
  EXPECT_FALSE(load_ok());
  cfg = settings();
}

// The soft limit becomes min(hard, 256 MiB), whether it starts above or
// below; a lower hard limit wins.
TEST(CoreLimit, SoftLimitIsCappedByHardLimitAnd256MiB) {
  auto r = run_in_child([] {
    struct rlimit l;
    getrlimit(RLIMIT_CORE, &l);
    l.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &l);
    set_core_limit();
    getrlimit(RLIMIT_CORE, &l);
    rlim_t want = l.rlim_max < 268435456 ? l.rlim_max : 268435456;
    if (l.rlim_cur != want) return 10;
    // A hard limit below the cap.
    l.rlim_cur = 0;
    l.rlim_max = 4096;
    if (setrlimit(RLIMIT_CORE, &l) != 0) return 11;
    set_core_limit();
    getrlimit(RLIMIT_CORE, &l);
    return l.rlim_cur == 4096 && l.rlim_max == 4096 ? 0 : 12;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace kiln::jobserver
