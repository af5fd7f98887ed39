#include "sched/stat_ahead.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sched/build_fixture.h"

namespace kiln::sched::testing {
namespace {

class StatAhead : public BuildTest {
 protected:
  void TearDown() override {
    stat_ahead_stop();
    BuildTest::TearDown();
  }
};

// Results are kept in chunks that are unmapped once settled: each name
// must get its own file's result exactly once, across chunk boundaries,
// and nothing may be read after its chunk went.
TEST_F(StatAhead, EveryNameGetsItsOwnResultOnceAcrossChunks) {
  use_real_system();
  begin_run();
  constexpr int k_rules = 5000;  // ten thousand names: three chunks
  std::vector<std::string> names;
  for (int i = 0; i < k_rules; i++) {
    std::string t = "t" + std::to_string(i), f = "f" + std::to_string(i);
    if (i % 3 == 0) write_file(t, std::string(static_cast<size_t>(i % 11), 'x'));
    if (i % 2 == 0) write_file(f, std::string(static_cast<size_t>(i % 13), 'y'));
    rule({t}, {f}, {});
    names.push_back(t);
    names.push_back(f);
  }
  graph::resolve_deferred_deps(0);
  stat_ahead_start();
  std::vector<graph::strid> ids;
  for (const std::string& n : names) ids.push_back(graph::lookup(n.c_str()));
  for (size_t i = 0; i < ids.size(); i += 7) stat_ahead_forget(ids[i]);
  // Time for the thread to get through; a name asked for before its
  // result is ready is left to the caller.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stat_info info;
  size_t taken_count = 0;
  for (size_t i = ids.size(); i-- > 0;) {  // against the thread's order
    bool taken = stat_ahead_take(ids[i], &info);
    if (i % 7 == 0) {
      ASSERT_FALSE(taken) << names[i];
    }
    if (!taken) continue;
    taken_count++;
    struct stat st;
    bool exists = lstat(names[i].c_str(), &st) == 0;
    ASSERT_EQ(!info.nonexistent, exists) << names[i];
    if (!exists) continue;
    EXPECT_EQ(info.size, st.st_size) << names[i];
    EXPECT_EQ(info.ino, st.st_ino) << names[i];
    EXPECT_EQ(info.mtime_sec, st.st_mtim.tv_sec) << names[i];
    EXPECT_EQ(info.mtime_nsec, static_cast<uint64_t>(st.st_mtim.tv_nsec)) << names[i];
    EXPECT_EQ(info.mode, st.st_mode) << names[i];
  }
  for (size_t i = 0; i < ids.size(); i++) EXPECT_FALSE(stat_ahead_take(ids[i], &info));
  if (taken_count == 0) GTEST_SKIP() << "the thread did not run";
}

}  // namespace
}  // namespace kiln::sched::testing
