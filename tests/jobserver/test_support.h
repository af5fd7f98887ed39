// Helpers of the jobserver tests: a no-op SIGALRM handler, child processes
// with captured output, and scratch directories.
#pragma once

#include <functional>
#include <string>

namespace kiln::jobserver::testing_support {

// Installs a SIGALRM handler that does nothing, without SA_RESTART, as the
// build's signal set-up does, so that the 10 ms token timer interrupts.
void install_alarm_handler();

// What a child run produced.
struct child_result {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs fn in a forked child with standard output and standard error
// captured; the child exits with fn's result. A child that runs longer
// than timeout_ms is killed (status -1).
child_result run_in_child(const std::function<int()>& fn, int timeout_ms = 5000);

// Runs a shell command and returns its standard output and error, merged.
std::string run_shell(const std::string& command);

// A fresh directory under /tmp, removed with its contents at destruction.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kiln::jobserver::testing_support
