// The loader end to end: loadtavr runs as a door on the host engine, on
// real pseudo-terminals, with a stand-in game program (tests/fixtures), and
// every way out is checked for what the caller saw, what the host's log got,
// the exit status and what the line's record holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine.h"
#include "ipc_namespace.h"
#include "semutils.h"
#include "test_proc_util.h"
#include "zivevuva.h"

namespace {

using zv::host::Config;
using zv::host::Engine;
using zvproc::TempDir;

constexpr int kWait = 10000;  // ms; only reached when something is broken
const std::string kScreen = "\x1b[1mTavrine\x1b[0m\nPlay? ";
const std::string kScreenShown = "\x1b[1mTavrine\x1b[0m\rPlay? ";
const std::string kThanks = "Thank you for playing Tavrine!\r";
constexpr int kFoundPrivate = 7;  // u_privateflag the host gave the line

std::string loadtavr() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "loadtavr";
  std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/')) + "/loadtavr";
}

class Loader : public ::testing::Test {
 protected:
  void SetUp() override { ZV_PRIVATE_IPC(); }

  void TearDown() override {
    // The stand-in servers left in the background.
    for (const std::string& dir : games_) {
      std::string pids = zvproc::read_file(dir + "servers");
      for (std::size_t at = 0; at < pids.size();) {
        const std::size_t end = pids.find('\n', at);
        const int pid = std::atoi(pids.substr(at, end - at).c_str());
        if (pid > 0) ::kill(pid, SIGKILL);
        if (end == std::string::npos) break;
        at = end + 1;
      }
    }
    host.stop();
  }

  // Starts the host with n lines, each with a caller, ANSI and the given
  // u_privateflag, and its doors_id empty.
  void start_host(int n) {
    Config c;
    c.lines = n;
    c.private_ipc = false;
    ASSERT_EQ(host.start(c), "");
    for (int i = 0; i < n; ++i) {
      host.user(i).u_privateflag = kFoundPrivate;
      host.acct(i).linlen = 128;
    }
  }

  // A game directory at `dir` (ending in "/") with the stand-in program and,
  // unless told otherwise, the title screen.
  void make_game(const std::string& dir, bool program = true, bool screen = true) {
    ::mkdir(dir.c_str(), 0755);
    if (program) {
      ASSERT_TRUE(zvproc::make_executable(dir + "tavrine][", zvproc::read_file(zvproc::fixtures_dir() + "tavrine][")));
    }
    if (screen) zvproc::write_file(dir + "screen00.ans", kScreen);
    games_.push_back(dir);
  }

  void write_ini(const std::string& text) { zvproc::write_file(data.dir() + "tavrine.ini", text); }

  // The usual set-up: game directory, INI naming it, n lines.
  void standard(int n = 2) {
    make_game(game.dir());
    write_ini("NAME=Tavrine\nPATH=" + game.path() + "\n");
    start_host(n);
  }

  pid_t start_loader(int line, std::vector<std::string> args = {}) {
    args.insert(args.begin(), loadtavr());
    return host.start_door(line, args);
  }
  pid_t start_loader_here(int line) { return start_loader(line, {data.path()}); }

  // Waits for the loader's end, then takes in what it queued just before:
  // the step that sees a door end may come before its last output block.
  int finish(pid_t loader) {
    const int status = host.wait_door(loader, kWait);
    host.step();
    return status;
  }

  bool asked(int line) { return host.run_until_text(line, "Play? ", kWait); }

  std::string id(int line) {
    const char* f = host.user(line).doors_id;
    return std::string(f, ::strnlen(f, sizeof host.user(line).doors_id));
  }
  int privateflag(int line) { return host.user(line).u_privateflag; }

  std::vector<std::string> starts(const std::string& dir) {
    std::vector<std::string> lines;
    std::string all = zvproc::read_file(dir + "starts");
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t end = all.find('\n', at);
      lines.push_back(all.substr(at, end - at));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    return lines;
  }

  std::vector<std::string> logs() {
    std::vector<std::string> texts;
    for (const auto& r : host.requests())
      if (r.code == zv::MSG_LOG) texts.push_back(r.text);
    return texts;
  }

  // Waits until the loader on `line` has handed the line over, then wakes
  // it as the game does when the caller leaves.
  void leave_game(int line, pid_t loader) {
    ASSERT_TRUE(host.run_until([&] { return id(line) == "Tavrine"; }, kWait));
    host.signal_door(loader, SIGUSR1);
  }

  Engine host;
  TempDir data{"zvdata"};
  TempDir game{"zvgame"};
  std::vector<std::string> games_;
};

TEST_F(Loader, DeclinedAnswersThankAndKeepTheLoadersId) {
  const char* answers[] = {"n", "", " y", "x", "N", "\x1b[A"};
  standard(static_cast<int>(std::size(answers)));
  std::vector<pid_t> loaders;
  for (int line = 0; line < static_cast<int>(std::size(answers)); ++line) loaders.push_back(start_loader_here(line));
  for (int line = 0; line < static_cast<int>(std::size(answers)); ++line) {
    SCOPED_TRACE(answers[line]);
    ASSERT_TRUE(asked(line));
    EXPECT_EQ(privateflag(line), 1) << "private while the title is shown";
    host.post_input(line, answers[line]);
    EXPECT_EQ(finish(loaders[line]), 0);
    EXPECT_EQ(host.transcript(line), kScreenShown + kThanks);
    EXPECT_EQ(id(line), "LoadTavrDevel");
    EXPECT_EQ(privateflag(line), kFoundPrivate);
  }
  EXPECT_TRUE(starts(game.dir()).empty());
  EXPECT_TRUE(logs().empty());
}

TEST_F(Loader, AYesStartsTheGameHandsTheLineOverAndThanksAfterTheWakeUp) {
  const char* answers[] = {"y", "Y", "yes", "Yo ho"};
  standard(2);
  for (const char* answer : answers) {
    SCOPED_TRACE(answer);
    // No line in the game yet: each of these answers starts it.
    std::memset(host.user(1).doors_id, 0, sizeof host.user(1).doors_id);
    host.user(1).u_privateflag = kFoundPrivate;
    ::unlink((game.dir() + "starts").c_str());
    host.clear_records();
    const pid_t loader = start_loader_here(1);
    ASSERT_TRUE(asked(1));
    host.post_input(1, answer);
    leave_game(1, loader);
    EXPECT_EQ(finish(loader), 0);
    EXPECT_EQ(host.transcript(1), kScreenShown + kThanks);
    EXPECT_EQ(id(1), "Tavrine");
    EXPECT_EQ(privateflag(1), kFoundPrivate);
    EXPECT_EQ(starts(game.dir()), std::vector<std::string>{"[" + game.dir() + "tavrine][] [" + game.dir() + "]"});
    EXPECT_TRUE(logs().empty());
    EXPECT_EQ(zv::sem_getval(zv::semid, zv::SEM_QUEUES), 1);
  }
}

TEST_F(Loader, WithoutAnsiTheCallerIsTurnedAway) {
  standard(2);
  for (int ansi : {0, -1}) {
    SCOPED_TRACE(ansi);
    host.user(1).u_ansi = ansi;
    host.clear_records();
    const pid_t loader = start_loader_here(1);
    EXPECT_EQ(finish(loader), 0);
    EXPECT_EQ(host.transcript(1), "\rYou must have ANSI to play tavrine.\r");
    EXPECT_EQ(id(1), "LoadTavrDevel");
    EXPECT_EQ(privateflag(1), kFoundPrivate);
  }
  EXPECT_TRUE(starts(game.dir()).empty());
}

TEST_F(Loader, AMissingIniFileIsReportedAndTheLoaderGoesOn) {
  start_host(1);
  const pid_t loader = start_loader(0, {data.path()});
  ASSERT_TRUE(host.run_until_text(0, "Screen file not found", kWait));
  host.post_input(0, "n");
  EXPECT_EQ(finish(loader), 0);
  EXPECT_EQ(host.transcript(0), "Error opening INI file.  Attempted to open [" + data.dir() +
                                    "tavrine.ini].\rPATH not found in INI file, or INI file not found\r"
                                    "Screen file not found" +
                                    kThanks);
  EXPECT_EQ(logs(), std::vector<std::string>{"Error in Tavrine.  Cannot find <screen00.ans>"});
  EXPECT_EQ(id(0), "LoadTavrDevel");
  EXPECT_EQ(privateflag(0), kFoundPrivate);
}

TEST_F(Loader, AMissingTitleScreenIsReportedAndTheQuestionStillComes) {
  make_game(game.dir(), true, false);
  write_ini("PATH=" + game.dir() + "\n");
  start_host(1);
  const pid_t loader = start_loader(0, {data.dir()});  // with its final "/"
  ASSERT_TRUE(host.run_until_text(0, "Screen file not found", kWait));
  host.post_input(0, "y");
  leave_game(0, loader);
  EXPECT_EQ(finish(loader), 0);
  EXPECT_EQ(host.transcript(0), "Screen file not found" + kThanks);
  EXPECT_EQ(logs(), std::vector<std::string>{"Error in Tavrine.  Cannot find <" + game.dir() + "screen00.ans>"});
  EXPECT_EQ(starts(game.dir()).size(), 1u);
}

TEST_F(Loader, WithoutAnArgumentTheIniFileIsReadFromTheCurrentDirectory) {
  standard(1);
  const std::string program = loadtavr();
  const std::string cwd = data.path();
  const pid_t loader = host.start_door(0, [&] {
    if (::chdir(cwd.c_str()) != 0) return 9;
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    return 8;
  });
  ASSERT_TRUE(asked(0));
  host.post_input(0, "n");
  EXPECT_EQ(finish(loader), 0);
  EXPECT_EQ(host.transcript(0), kScreenShown + kThanks);
}

TEST_F(Loader, AGameProgramThatCannotRunNeitherHangsNorLeavesTheCallerWaiting) {
  make_game(game.dir(), false, true);
  write_ini("PATH=" + game.dir() + "\n");
  start_host(2);
  const pid_t loader = start_loader_here(1);
  ASSERT_TRUE(asked(1));
  host.post_input(1, "y");
  EXPECT_EQ(finish(loader), 0);
  const std::string cmd = game.dir() + "tavrine][ " + game.dir();
  EXPECT_EQ(host.transcript(1), kScreenShown + "Cannot load door <" + cmd + ">\r");
  // The failed child's line reaches the log once the lock is free.
  EXPECT_TRUE(host.run_until([&] { return !logs().empty(); }, kWait));
  host.run_for(200);
  EXPECT_EQ(logs(), std::vector<std::string>{"Error starting door..."});
  EXPECT_EQ(id(1), "LoadTavrDevel");
  EXPECT_EQ(privateflag(1), 1) << "this way out leaves the flag set";
  EXPECT_EQ(zv::sem_getval(zv::semid, zv::SEM_QUEUES), 1);

  // The host and other doors go on.
  EXPECT_TRUE(host.post_input(0, "still here"));
}

TEST_F(Loader, TheCallerHangingUpAtTheQuestionEndsTheLoader) {
  standard(1);
  const pid_t loader = start_loader_here(0);
  ASSERT_TRUE(asked(0));
  host.post_gone(0);
  EXPECT_EQ(finish(loader), 0);
  EXPECT_EQ(host.transcript(0), kScreenShown);
  EXPECT_EQ(id(0), "LoadTavrDevel");
  EXPECT_EQ(privateflag(0), 1) << "this way out leaves the flag set";
  EXPECT_TRUE(starts(game.dir()).empty());
}

TEST_F(Loader, ALineAlreadyInTheGameMeansNothingIsStarted) {
  standard(3);
  std::snprintf(host.user(2).doors_id, sizeof host.user(2).doors_id, "Tavrine");
  host.user(2).u_stat = 0;  // whether a caller is there does not matter
  const pid_t loader = start_loader_here(0);
  ASSERT_TRUE(asked(0));
  host.post_input(0, "y");
  leave_game(0, loader);
  EXPECT_EQ(finish(loader), 0);
  EXPECT_EQ(host.transcript(0), kScreenShown + kThanks);
  EXPECT_EQ(id(0), "Tavrine");
  EXPECT_EQ(privateflag(0), kFoundPrivate);
  EXPECT_TRUE(starts(game.dir()).empty());
}

TEST_F(Loader, OnlyTheExactDoorIdCountsAsTheGameRunning) {
  const char* lookalikes[] = {"TAVRINE", "tavrine", "Tavrine2", "Tavrin"};
  standard(2);
  for (const char* other : lookalikes) {
    SCOPED_TRACE(other);
    std::memset(host.user(0).doors_id, 0, sizeof host.user(0).doors_id);
    std::snprintf(host.user(0).doors_id, sizeof host.user(0).doors_id, "%s", other);
    ::unlink((game.dir() + "starts").c_str());
    host.clear_records();
    const pid_t loader = start_loader_here(1);
    ASSERT_TRUE(asked(1));
    host.post_input(1, "y");
    leave_game(1, loader);
    EXPECT_EQ(finish(loader), 0);
    EXPECT_EQ(starts(game.dir()).size(), 1u);
    EXPECT_EQ(id(0), other);
  }
}

TEST_F(Loader, AWakeUpBeforeTheLoaderSleepsIsKept) {
  standard(1);
  zvproc::write_file(game.dir() + "mode", "early");
  const pid_t loader = start_loader_here(0);
  ASSERT_TRUE(asked(0));
  host.post_input(0, "y");
  // The stand-in wakes the loader while the loader still waits for it under
  // the lock; nothing else wakes it here.
  EXPECT_EQ(finish(loader), 0);
  EXPECT_EQ(host.transcript(0), kScreenShown + kThanks);
  EXPECT_EQ(id(0), "Tavrine");
  EXPECT_EQ(privateflag(0), kFoundPrivate);
  EXPECT_EQ(starts(game.dir()).size(), 1u);
}

TEST_F(Loader, EightLoadersOnEightLinesStartTheGameOnce) {
  constexpr int kLines = 8;
  standard(kLines);
  std::vector<pid_t> loaders;
  for (int line = 0; line < kLines; ++line) loaders.push_back(start_loader_here(line));
  for (int line = 0; line < kLines; ++line) ASSERT_TRUE(asked(line)) << line;
  for (int line = 0; line < kLines; ++line) host.post_input(line, "y");
  ASSERT_TRUE(host.run_until(
      [&] {
        for (int line = 0; line < kLines; ++line)
          if (id(line) != "Tavrine") return false;
        return true;
      },
      kWait));
  EXPECT_EQ(starts(game.dir()).size(), 1u);
  for (int line = 0; line < kLines; ++line) host.signal_door(loaders[line], SIGUSR1);
  for (int line = 0; line < kLines; ++line) {
    SCOPED_TRACE(line);
    EXPECT_EQ(finish(loaders[line]), 0);
    EXPECT_EQ(host.transcript(line), kScreenShown + kThanks);
    EXPECT_EQ(privateflag(line), kFoundPrivate);
  }
  EXPECT_EQ(starts(game.dir()).size(), 1u);
  EXPECT_EQ(zv::sem_getval(zv::semid, zv::SEM_QUEUES), 1);
}

TEST_F(Loader, AGameDirectoryWithBlanksStartsTheRightProgram) {
  const std::string dir = game.dir() + "my game/";
  make_game(dir);
  write_ini("PATH=" + dir + "\r\n");  // CR LF line ends as well
  start_host(1);
  const pid_t loader = start_loader_here(0);
  ASSERT_TRUE(asked(0));
  host.post_input(0, "y");
  leave_game(0, loader);
  EXPECT_EQ(finish(loader), 0);
  EXPECT_EQ(starts(dir), std::vector<std::string>{"[" + dir + "tavrine][] [" + dir + "]"});
  EXPECT_EQ(host.transcript(0), kScreenShown + kThanks);
}

TEST_F(Loader, DirectoriesTooLongForTheirBuffersAreRefusedClearly) {
  // 45 characters with its "/": "<dir>tavrine][ <dir>" would not fit in 99.
  const std::string long_game = game.dir() + std::string(44 - game.dir().size(), 'g') + "/";
  ASSERT_EQ(long_game.size(), 45u);
  make_game(long_game);
  write_ini("PATH=" + long_game + "\n");
  start_host(2);
  pid_t loader = start_loader_here(0);
  ASSERT_TRUE(asked(0));
  host.post_input(0, "y");
  EXPECT_EQ(finish(loader), 0);
  EXPECT_EQ(host.transcript(0), kScreenShown + "\rGame directory too long to start the game: <" + long_game + ">\r");
  EXPECT_EQ(id(0), "LoadTavrDevel");
  EXPECT_EQ(privateflag(0), kFoundPrivate);
  EXPECT_TRUE(starts(long_game).empty());

  // A data directory of 127 characters without its "/" does not fit.
  const std::string long_data = "/" + std::string(126, 'd');
  loader = start_loader(1, {long_data});
  EXPECT_EQ(finish(loader), 0);
  std::string shown = host.transcript(1);
  shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());  // wrapped on the screen
  EXPECT_EQ(shown, "Data directory too long (at most 126 characters): <" + long_data + ">");
  EXPECT_EQ(id(1), "");
  EXPECT_EQ(privateflag(1), kFoundPrivate);
}

}  // namespace
