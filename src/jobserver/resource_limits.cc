#include "jobserver/resource_limits.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

#include "base/settings.h"

namespace kiln::jobserver {

namespace {

// Limits at or above this value mean "no load limit".
constexpr double k_no_load_limit = 1e100;

}  // namespace

bool load_ok() {
  if (cfg.load_limit >= k_no_load_limit) return true;
  double load;
  if (getloadavg(&load, 1) != 1) return false;
  return !(load > cfg.load_limit);
}

void set_core_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_CORE, &limit) != 0) {
    perror("can't getrlimit");
    exit(2);
  }
  // An unlimited hard limit is the largest rlim_t, so the comparison
  // also covers it.
  rlim_t cap = static_cast<rlim_t>(k_core_limit);
  limit.rlim_cur = limit.rlim_max < cap ? limit.rlim_max : cap;
  if (setrlimit(RLIMIT_CORE, &limit) != 0) {
    perror("can't setrlimit");
    exit(2);
  }
}

}  // namespace kiln::jobserver
