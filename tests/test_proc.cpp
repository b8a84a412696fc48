// Starting programs from a command line, waiting for them, sleeping until a
// wake-up signal, and the other process helpers of doors, with real
// processes and real signals. Nothing here attaches the segment.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "alloc_counter.h"
#include "segment_fixture.h"
#include "semutils.h"
#include "test_proc_util.h"

namespace {

using namespace zv;
using zvproc::TempDir;

// ---- The command-line splitter ----

struct split_case {
  const char* what;
  std::string line;
  int result;                      // words, or -1 refused
  std::vector<std::string> words;  // when not refused
};

std::string words_of(int n, const char* w) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? " " : "") + std::string(w);
  return s;
}

TEST(CommandLine, SplitsIntoWordsWithQuotes) {
  const split_case rows[] = {
      {"double quotes keep blanks", "prog \"hello world\" x", 3, {"prog", "hello world", "x"}},
      {"single quotes keep double quotes", "prog 'a \"b\" c' d", 3, {"prog", "a \"b\" c", "d"}},
      {"unterminated quote runs to the end", "prog \"abc def", 2, {"prog", "abc def"}},
      {"unterminated quote keeps trailing blanks", "prog 'abc  ", 2, {"prog", "abc  "}},
      {"quoted program name", "'my prog' y", 2, {"my prog", "y"}},
      {"leading blanks", "   prog a", 2, {"prog", "a"}},
      {"a tab is no separator", "prog\ta b", 2, {"prog\ta", "b"}},
      {"a leading tab is part of the word", "\tprog", 1, {"\tprog"}},
      {"closing quote ends the word", "\"a\"\"b\"", 2, {"a", "b"}},
      {"characters behind a closing quote", "'say \"hi\"'x", 2, {"say \"hi\"", "x"}},
      {"quote inside a word is ordinary", "abc\"def g", 2, {"abc\"def", "g"}},
      {"empty argument", "prog \"\" z", 3, {"prog", "", "z"}},
      {"quote at the very end", "prog '", 2, {"prog", ""}},
      {"runs of blanks", "a    b", 2, {"a", "b"}},
      {"trailing blanks make no word", "prog a   ", 2, {"prog", "a"}},
      {"empty line", "", 0, {}},
      {"blanks only", "     ", 0, {}},
      {"255 characters", std::string(255, 'p'), 1, {std::string(255, 'p')}},
      {"256 characters", std::string(256, 'p'), -1, {}},
      {"blanks count toward the length", std::string(254, ' ') + "ab", -1, {}},
      {"19 words", words_of(19, "w"), 19, std::vector<std::string>(19, "w")},
      {"19 words and trailing blanks", words_of(19, "w") + "   ", 19, std::vector<std::string>(19, "w")},
      {"20 words", words_of(20, "w"), -1, {}},
      {"20 empty words", words_of(20, "''"), -1, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    char copy[CMDLINE_BUF];
    char* argv[CMDLINE_WORDS + 1];
    std::memset(argv, 0x5a, sizeof argv);
    long allocations = 0;
    int n;
    {
      zvtest::AllocCounter counter;
      n = split_command_line(r.line.c_str(), copy, argv);
      allocations = counter.count();
    }
    EXPECT_EQ(allocations, 0);
    ASSERT_EQ(n, r.result);
    if (n < 0) {
      EXPECT_EQ(argv[0], nullptr);
      continue;
    }
    std::vector<std::string> got;
    for (int i = 0; i < n; ++i) got.emplace_back(argv[i]);
    EXPECT_EQ(got, r.words);
    EXPECT_EQ(argv[n], nullptr);
  }
  char copy[CMDLINE_BUF];
  char* argv[CMDLINE_WORDS + 1];
  EXPECT_EQ(split_command_line(nullptr, copy, argv), 0);
  EXPECT_EQ(argv[0], nullptr);
}

// ---- Starting programs ----

// Runs fn in a child of the test, so that the SIGCHLD catcher that
// load_a_door installs stays out of the test process. Returns fn's result.
int in_child(const std::function<int()>& fn) { return zvtest::wait_child(zvtest::fork_child(fn)); }

// No child left to reap (and none that is a zombie).
bool no_children() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(LoadADoor, RunsTheNamedProgramWithEveryWord) {
  TempDir tmp;
  const std::string dir = tmp.path() + "/game dir";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  const std::string out = dir + "/args";
  ASSERT_TRUE(zvproc::make_executable(dir + "/my prog",
                                      "#!/bin/sh\nprintf '[%s]\\n' \"$0\" \"$@\" > \"" + out + "\"\n"));
  const std::string cmd = "'" + dir + "/my prog' \"hello world\" x 'a \"b\"' \"\"";
  EXPECT_EQ(in_child([&] {
              const int pid = bbs_start_a_door(cmd.c_str());
              if (pid <= 0) return 1;
              // bbs_start_a_door returns once the child has ended.
              return zvproc::read_file(out).empty() ? 2 : 0;
            }),
            0);
  EXPECT_EQ(zvproc::read_file(out), "[" + dir + "/my prog]\n[hello world]\n[x]\n[a \"b\"]\n[]\n");
}

TEST(LoadADoor, SearchesPathForANameWithoutSlash) {
  TempDir tmp;
  const std::string out = tmp.path() + "/found";
  const std::string cmd = "sh -c 'echo found > " + out + "'";
  EXPECT_EQ(in_child([&] { return bbs_start_a_door(cmd.c_str()) > 0 ? 0 : 1; }), 0);
  EXPECT_EQ(zvproc::read_file(out), "found\n");
}

TEST(LoadADoor, AProgramThatCannotRunIsReportedToTheCaller) {
  TempDir tmp;
  const std::string plain = tmp.path() + "/not-executable";
  zvproc::write_file(plain, "#!/bin/sh\necho no\n");
  struct row {
    const char* what;
    std::string cmd;
    int err;
  } rows[] = {
      {"missing program", tmp.path() + "/missing arg", ENOENT},
      {"missing in PATH", "zv-no-such-program-here arg", ENOENT},
      {"not executable", plain, EACCES},
      {"a directory", tmp.path() + " x", EACCES},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(in_child([&] {
                errno = 0;
                if (bbs_start_a_door(r.cmd.c_str()) != -1) return 1;
                if (errno != r.err) return 2;
                // The child that failed ends by itself and is reaped.
                return zvproc::wait_until(no_children) ? 0 : 3;
              }),
              0);
  }
}

TEST(LoadADoor, OverLongCommandLinesStartNothing) {
  const std::string rows[] = {
      "sh -c true " + std::string(260, 'x'),
      words_of(20, "true"),
  };
  for (const auto& cmd : rows) {
    EXPECT_EQ(in_child([&] {
                errno = 0;
                if (load_a_door(cmd.c_str()) != -1 || errno != E2BIG) return 1;
                return no_children() ? 0 : 2;
              }),
              0);
  }
}

TEST(LoadADoor, AnEmptyCommandLineGivesAChildThatEndsSilently) {
  EXPECT_EQ(in_child([] {
              const int pid = bbs_start_a_door("    ");
              if (pid <= 0) return 1;
              return no_children() ? 0 : 2;
            }),
            0);
}

TEST(LoadADoor, TheProgramInheritsNoBlockedOrIgnoredSignalsOfTheDoor) {
  TempDir tmp;
  const std::string out = tmp.path() + "/status";
  EXPECT_EQ(in_child([&] {
              // The state a loader is in when it starts the game: SIGUSR1
              // blocked (and ignored after an earlier suspend), SIGCHLD
              // caught, SIGALRM caught.
              ::signal(SIGUSR1, SIG_IGN);
              ::signal(SIGALRM, __alarm_signal_handler);
              sigset_t set;
              sigemptyset(&set);
              sigaddset(&set, SIGUSR1);
              sigaddset(&set, SIGALRM);
              ::sigprocmask(SIG_BLOCK, &set, nullptr);
              // The started program itself reports its state.
              const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
              if (fd < 0 || ::dup2(fd, 1) != 1) return 2;
              return bbs_start_a_door("cat /proc/self/status") > 0 ? 0 : 1;
            }),
            0);
  const std::string status = zvproc::read_file(out);
  auto mask = [&](const char* field) {
    const auto at = status.find(std::string(field) + ":");
    return at == std::string::npos ? ~0ull : std::strtoull(status.c_str() + at + std::strlen(field) + 1, nullptr, 16);
  };
  ASSERT_NE(status, "");
  EXPECT_EQ(mask("SigBlk"), 0u);
  for (int sig : {SIGUSR1, SIGCHLD, SIGALRM}) EXPECT_FALSE(zvproc::has_signal(mask("SigIgn"), sig)) << sig;
}

TEST(WaitForDoor, ReturnsAtOnceWithoutChildrenAndAfterTheChildOtherwise) {
  EXPECT_EQ(in_child([] {
              wait_for_door();  // no child at all
              const pid_t child = ::fork();
              if (child == 0) {
                ::usleep(100000);
                ::_exit(0);
              }
              wait_for_door();
              return zvproc::process_state(child) == 0 ? 0 : 1;
            }),
            0);
}

TEST(ChildSignalHandler, ReapsAProgramNobodyWaitsFor) {
  EXPECT_EQ(in_child([] {
              const int pid = load_a_door("sh -c 'exit 3'");
              if (pid <= 0) return 1;
              // Without the catcher it would stay a zombie ('Z') for good.
              return zvproc::wait_until([pid] { return zvproc::process_state(pid) == 0; }) ? 0 : 2;
            }),
            0);
}

// ---- suspend ----

// A pipe whose ends close on scope exit.
struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (::pipe(fd) != 0) fd[0] = fd[1] = -1;
  }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  // Waits up to ms for one byte; 0 when none came.
  char read_byte(int ms = 10000) const {
    pollfd p{fd[0], POLLIN, 0};
    char c = 0;
    if (::poll(&p, 1, ms) == 1 && ::read(fd[0], &c, 1) == 1) return c;
    return 0;
  }
  void write_byte(char c) const {
    if (::write(fd[1], &c, 1) != 1) std::abort();
  }
};

Pipe* usr2_pipe = nullptr;
void note_usr2(int) {
  const char c = 'u';
  if (::write(usr2_pipe->fd[1], &c, 1) != 1) {
  }
}

TEST(Suspend, OnlySigusr1EndsItAndIsIgnoredAfterwards) {
  Pipe report;
  usr2_pipe = &report;
  const pid_t door = zvtest::fork_child([&] {
    ::signal(SIGUSR2, note_usr2);
    ::signal(SIGALRM, __alarm_signal_handler);
    suspend();
    if (got_user_signal != 1) return 1;
    struct sigaction now {};
    ::sigaction(SIGUSR1, nullptr, &now);
    if (now.sa_handler != SIG_IGN) return 2;
    ::kill(::getpid(), SIGUSR1);  // ignored now: the door lives on
    report.write_byte('w');
    return 0;
  });
  ASSERT_TRUE(zvproc::wait_until([door] { return zvproc::catches_usr1(door); }));
  ::kill(door, SIGUSR2);
  EXPECT_EQ(report.read_byte(), 'u');
  ::kill(door, SIGALRM);
  ::kill(door, SIGCHLD);
  EXPECT_EQ(report.read_byte(300), 0) << "suspend ended on another signal";
  ::kill(door, SIGUSR1);
  EXPECT_EQ(report.read_byte(), 'w');
  EXPECT_EQ(zvtest::wait_child(door), 0);
}

TEST(Suspend, AWakeUpThatCameWhileBlockedIsNotLost) {
  Pipe ready, go;
  const pid_t door = zvtest::fork_child([&] {
    // What the loader does before it makes itself known to the game.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &usr1, nullptr);
    ready.write_byte('r');
    if (go.read_byte() != 'g') return 1;
    suspend();  // the pending SIGUSR1 ends it at once
    sigset_t now;
    ::sigprocmask(SIG_BLOCK, nullptr, &now);
    return sigismember(&now, SIGUSR1) ? 2 : 0;
  });
  ASSERT_EQ(ready.read_byte(), 'r');
  ::kill(door, SIGUSR1);
  ASSERT_TRUE(zvproc::wait_until([door] { return zvproc::has_signal(zvproc::signal_mask(door, "SigPnd"), SIGUSR1) ||
                                                  zvproc::has_signal(zvproc::signal_mask(door, "ShdPnd"), SIGUSR1); }));
  go.write_byte('g');
  EXPECT_EQ(zvtest::wait_child(door), 0);
}

TEST(Suspend, AWakeUpBeforeSuspendWithoutPrecautionEndsTheProcess) {
  // The default disposition: why a door must block SIGUSR1 before it makes
  // itself known.
  Pipe ready;
  const pid_t door = zvtest::fork_child([&] {
    ready.write_byte('r');
    ::pause();
    return 0;
  });
  ASSERT_EQ(ready.read_byte(), 'r');
  ::kill(door, SIGUSR1);
  EXPECT_EQ(zvtest::wait_child(door), 128 + SIGUSR1);
}

// ---- make_daemon and is_pid_active ----

TEST(MakeDaemon, TheForegroundEndsAfterASecondAndTheBackgroundLeadsASession) {
  Pipe report;
  const auto start = std::chrono::steady_clock::now();
  const pid_t fg = zvtest::fork_child([&] {
    if (make_daemon() != 0) return 1;
    const pid_t me = ::getpid();
    const pid_t facts[2] = {me, ::getsid(0)};
    if (::write(report.fd[1], facts, sizeof facts) != static_cast<ssize_t>(sizeof facts)) return 2;
    ::_exit(0);
  });
  EXPECT_EQ(zvtest::wait_child(fg), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(900));
  pid_t facts[2] = {0, 0};
  pollfd p{report.fd[0], POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  ASSERT_EQ(::read(report.fd[0], facts, sizeof facts), static_cast<ssize_t>(sizeof facts));
  EXPECT_NE(facts[0], fg);
  EXPECT_EQ(facts[1], facts[0]) << "the background process leads its own session";
}

TEST(IsPidActive, TellsGoneFromPresentProcesses) {
  EXPECT_EQ(is_pid_active(::getpid()), 1);
  const pid_t gone = zvtest::fork_child([] { return 0; });
  ASSERT_EQ(zvtest::wait_child(gone), 0);
  EXPECT_EQ(is_pid_active(gone), 0);
  EXPECT_EQ(is_pid_active(0), 0);
  EXPECT_EQ(is_pid_active(-1), 0);
  EXPECT_EQ(is_pid_active(-::getpgrp()), 0);
}

TEST(IsPidActive, AnotherUsersProcessCountsAsActive) {
  if (::geteuid() != 0) {
    if (::kill(1, 0) == 0 || errno != EPERM) GTEST_SKIP() << "no process of another user to probe";
    EXPECT_EQ(is_pid_active(1), 1);
    return;
  }
  Pipe ready;
  const pid_t other = zvtest::fork_child([&] {
    if (::setuid(65534) != 0) return 1;
    ready.write_byte('r');
    ::pause();
    return 0;
  });
  ASSERT_EQ(ready.read_byte(), 'r');
  const int probe = in_child([other] {
    if (::setuid(65533) != 0) return 10;
    if (::kill(other, 0) == 0 || errno != EPERM) return 11;  // refused, not absent
    return is_pid_active(other);
  });
  ::kill(other, SIGKILL);
  zvtest::wait_child(other);
  EXPECT_EQ(probe, 1);
}

}  // namespace
