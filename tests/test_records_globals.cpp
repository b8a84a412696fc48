// The door's process-wide globals and its one way to end.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "zivevuva.h"

namespace {

int hook_fd = -1;
void hook_writes() { (void)!::write(hook_fd, "h", 1); }
void hook_ends_again() {
  (void)!::write(hook_fd, "h", 1);
  zv::end_task();
}

struct end_case {
  const char* what;
  void (*hook)();
  const char* expect;  // what the pipe holds afterwards: hook marks, then stdout
};

// Runs end_task in a child whose stdout is the pipe; returns the exit status
// and what came through the pipe.
std::pair<int, std::string> end_in_child(void (*hook)()) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(fds[1], 1);
    hook_fd = fds[1];
    zv::end_task_hook = hook;
    std::printf("bye");  // unflushed: end_task must flush it
    zv::end_task();
    ::_exit(77);  // not reached
  }
  ::close(fds[1]);
  std::string got;
  char buf[64];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, got};
}

TEST(Globals, StartValues) {
  EXPECT_EQ(zv::shm, nullptr);
  EXPECT_EQ(zv::semid, -1);
  EXPECT_EQ(zv::zivevuva_debug, 0);
  EXPECT_STREQ(zv::mod_ver, "1.0.0");
  EXPECT_EQ(sizeof zv::wrkbuf, 2048u);
  EXPECT_EQ(zv::end_task_hook, nullptr);
}

TEST(Globals, EndTaskRunsTheCloseHookOnceAndExitsZero) {
  const end_case cases[] = {
      {"no message files open", nullptr, "bye"},
      {"hook closes them", hook_writes, "hbye"},
      {"hook that ends the task itself", hook_ends_again, "hbye"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto [status, out] = end_in_child(c.hook);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, c.expect);
  }
}

}  // namespace
