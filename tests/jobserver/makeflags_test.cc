#include "jobserver/makeflags.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/settings.h"
#include "jobserver/jobserver.h"
#include "jobserver/test_support.h"

namespace kiln::jobserver {
namespace {

using testing_support::run_in_child;
using testing_support::scratch_dir;

const char k_invalid[] = "kiln: invalid output sync mode in MAKEFLAGS, using default\n";

TEST(MakeflagsParse, OutputSyncWordsByFirstLetter) {
  struct {
    const char* text;
    int mode;
    bool parent_syncs;
  } cases[] = {
      {"-Oline", sync_line, true},       {"-Otarget", sync_target, true},
      {"-Orecurse", sync_recurse, true}, {"-Onone", sync_none, false},
      {"-Ol", sync_line, true},          {"-Otxyz", sync_target, true},
      {"-O line", sync_line, true},      {"  -j4   -Or  k", sync_recurse, true},
      {"-Oline -Onone", sync_none, false}, {"", sync_unset, false},
      {"k -j4", sync_unset, false},
  };
  for (const auto& c : cases) {
    inherited_flags f = parse_makeflags(c.text);
    EXPECT_EQ(f.output_sync, c.mode) << c.text;
    EXPECT_EQ(f.parent_syncs_output, c.parent_syncs) << c.text;
  }
}

TEST(MakeflagsParse, InvalidOutputSyncWordKeepsDefault) {
  for (const char* text : {"-Oq", "-O", "-Ofoo -j"}) {
    testing::internal::CaptureStderr();
    inherited_flags f = parse_makeflags(text);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), k_invalid) << text;
    EXPECT_EQ(f.output_sync, sync_unset) << text;
    EXPECT_FALSE(f.parent_syncs_output) << text;
  }
  // An earlier valid word still counts.
  testing::internal::CaptureStderr();
  inherited_flags f = parse_makeflags("-Otarget -Ox");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), k_invalid);
  EXPECT_EQ(f.output_sync, sync_target);
}

TEST(MakeflagsParse, JobserverValuesRunToTheNextBlank) {
  inherited_flags f = parse_makeflags(" -j --jobserver-fds=3,4 --jobserver-auth=3,4 -Oline");
  EXPECT_TRUE(f.has_fds);
  EXPECT_EQ(f.fds, "3,4");
  EXPECT_TRUE(f.has_auth);
  EXPECT_EQ(f.auth, "3,4");
  EXPECT_EQ(f.output_sync, sync_line);

  f = parse_makeflags("-j4\t--jobserver-auth=fifo:/tmp/GMfifo12 -- X=1");
  EXPECT_FALSE(f.has_fds);
  EXPECT_TRUE(f.has_auth);
  EXPECT_EQ(f.auth, "fifo:/tmp/GMfifo12");

  f = parse_makeflags("--jobserver-auth= x--jobserver-fds=1,2");
  EXPECT_TRUE(f.has_auth);
  EXPECT_EQ(f.auth, "");
  EXPECT_FALSE(f.has_fds);  // only a word that begins with the prefix counts
}

TEST(MakeflagsRead, ReadsOnceAndRemovesTheVariable) {
  auto r = run_in_child([] {
    setenv("MAKEFLAGS", " -Ot --jobserver-auth=fifo:/tmp/x", 1);
    const inherited_flags& f = read_makeflags();
    if (getenv("MAKEFLAGS") != nullptr) return 10;
    if (f.output_sync != sync_target || !f.parent_syncs_output) return 11;
    if (!f.has_auth || f.auth != "fifo:/tmp/x" || f.has_fds) return 12;
    // A second reading keeps what the first one found.
    setenv("MAKEFLAGS", "-On", 1);
    if (read_makeflags().output_sync != sync_target) return 13;
    if (&inherited() != &f) return 14;
    return 0;
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST(MakeflagsRead, AbsentVariableLeavesEverythingUnset) {
  auto r = run_in_child([] {
    unsetenv("MAKEFLAGS");
    const inherited_flags& f = read_makeflags();
    return f.output_sync == sync_unset && !f.has_fds && !f.has_auth ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0);
}

class MakeflagsForSubmake : public testing::Test {
 protected:
  void SetUp() override {
    testing_support::install_alarm_handler();
    cfg = settings();
  }
  void TearDown() override { jobserver_reset(); }
};

TEST_F(MakeflagsForSubmake, DescriptorForms) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string pair = std::to_string(p[0]) + "," + std::to_string(p[1]);
  testing::internal::CaptureStderr();
  ASSERT_EQ(jobserver_join(false, "", true, pair), 0);
  testing::internal::GetCapturedStderr();
  std::string head = " --jobserver-fds=" + pair + " --jobserver-auth=" + pair + " -j";
  submake_channel c = open_submake_channel();
  EXPECT_EQ(makeflags_for_submake(c, false, false, sync_none), head);
  EXPECT_EQ(makeflags_for_submake(c, false, false, sync_target), head);
  EXPECT_EQ(makeflags_for_submake(c, true, false, sync_line), head + " -Oline");
  EXPECT_EQ(makeflags_for_submake(c, true, false, sync_target), head + " -Otarget");
  EXPECT_EQ(makeflags_for_submake(c, true, true, sync_recurse), head + " -Orecurse");
  close(p[0]);
  close(p[1]);
}

TEST_F(MakeflagsForSubmake, FifoFormsNameTheWholePath) {
  scratch_dir dir;
  // Deep enough that the text is well over 128 bytes; it must not be cut.
  std::string deep = dir.path() + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  ASSERT_EQ(testing_support::run_shell("mkdir -p '" + deep + "'"), "");
  setenv("TMPDIR", deep.c_str(), 1);
  jobserver_create(3);
  unsetenv("TMPDIR");
  const std::string path = fifo_path();
  ASSERT_TRUE(path.starts_with(deep + "/KLfifo")) << path;
  submake_channel c = open_submake_channel();
  std::string pair = std::to_string(c.read_fd) + "," + std::to_string(c.write_fd);
  // The descriptor form comes last: a make that knows no FIFO takes the
  // last jobserver word and stops when that one is "fifo:".
  std::string head = " --jobserver-auth=fifo:" + path + " --jobserver-fds=" + pair +
                     " --jobserver-auth=" + pair + " -j";
  EXPECT_GT(head.size(), 128u);
  EXPECT_EQ(makeflags_for_submake(c, false, false, sync_none), head);
  EXPECT_EQ(makeflags_for_submake(c, true, false, sync_line), head + " -Oline");
  EXPECT_EQ(makeflags_for_submake(c, true, false, sync_target), head + " -Otarget");
  EXPECT_EQ(makeflags_for_submake(c, true, true, sync_recurse), head + " -Orecurse");
  // The text a sub-make gets reads back to the descriptors it inherits.
  inherited_flags back = parse_makeflags(makeflags_for_submake(c, true, false, sync_line).c_str());
  EXPECT_EQ(back.auth, pair);
  EXPECT_EQ(back.fds, pair);
  EXPECT_EQ(back.output_sync, sync_line);
  close_submake_channel(&c);
  // Without descriptors for the sub-make the path is all it gets.
  EXPECT_EQ(makeflags_for_submake(c, true, true, sync_recurse),
            " --jobserver-auth=fifo:" + path + " -j -Orecurse");
}

}  // namespace
}  // namespace kiln::jobserver
