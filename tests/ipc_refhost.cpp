// The reference host zv-host with the real loader and the stand-in game
// server: whole sessions, run as separate processes in the test's private
// IPC namespace (zv-host, the loaders and the daemonised server all inherit
// it). Every session has a time limit of its own and the test kills what is
// left when it passes.
//
// This program doubles as a door: started with ZV_REFHOST_TEST_DOOR in its
// environment it runs the door below instead of its tests.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "abuf.h"
#include "ipc_namespace.h"
#include "semutils.h"
#include "zivevuva.h"

namespace fs = std::filesystem;

namespace {

// ---- The test door: echo modes, the log, wake-ups, drain and log-off ----

int request_wakeup(int pid) {
  zv::mdbrec* m = zv::a_mdb();
  if (m == nullptr) return -1;
  m->command = zv::MSG_WAKEUP;
  m->line = static_cast<std::int16_t>(zv::who);
  m->flag = static_cast<std::int16_t>(pid & 0xffff);
  return zv::message_out(zv::REQUEST_QUEUE, m);
}

int test_door() {
  zv::init();
  char buf[80];
  zv::setecho(0);
  zv::send("Password: ");
  zv::qgets(buf, sizeof buf);
  zv::qprintf("\rgot %s\r", buf);
  zv::setecho(1);
  zv::send("Name: ");
  zv::qgets(buf, sizeof buf);
  zv::qprintf("\rhello %s\r", buf);
  zv::setecho(2);
  zv::send("PIN: ");
  zv::qgets(buf, sizeof buf);
  zv::qprintf("\rpin %s\r", buf);
  zv::setecho(1);
  zv::send_bbslog("door log line");
  request_wakeup(0);  // names no single process: the host must refuse it
  // A child sleeps in suspend(); the host wakes it on our request.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, nullptr);
  const pid_t child = fork();
  if (child == 0) {
    zv::suspend();
    _exit(7);
  }
  if (child > 0 && child <= 0xffff) request_wakeup(child);
  else if (child > 0) kill(child, SIGUSR1);  // does not fit the request: wake it directly
  int ws = 0;
  for (int i = 0; i < 500 && waitpid(child, &ws, WNOHANG) == 0; ++i) usleep(10000);
  zv::qprintf("%s\r", WIFEXITED(ws) && WEXITSTATUS(ws) == 7 ? "woken" : "not woken");
  zv::waitforempty(zv::who);
  zv::send("drained\r");
  zv::bbs_logoff(zv::who);
  zv::qgets(buf, sizeof buf);  // ends the door on the host's 243
  zv::send("still here\r");
  return 3;
}

// Ten rows in one text, then a question.
int paging_door() {
  zv::init();
  zv::send("row 1\rrow 2\rrow 3\rrow 4\rrow 5\rrow 6\rrow 7\rrow 8\rrow 9\rrow 10\r");
  zv::send("Question? ");
  char buf[80];
  zv::qgets(buf, sizeof buf);
  zv::qprintf("\ranswer %s\r", buf);
  return 0;
}

struct DoorHook {
  DoorHook() {
    const char* door = std::getenv("ZV_REFHOST_TEST_DOOR");
    if (door == nullptr) return;
    _exit(std::strcmp(door, "paging") == 0 ? paging_door() : test_door());
  }
} door_hook;

// ---- Helpers ----

std::string bin_dir() {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return ".";
  exe[n] = '\0';
  return fs::path(exe).parent_path().string();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

size_t count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

// A game directory of its own in a short temporary directory: the loader's
// command for the server must fit in 100 bytes.
struct GameDir {
  std::string dir;
  GameDir() {
    char tmpl[] = "/tmp/zvrh.XXXXXX";
    dir = mkdtemp(tmpl);
    fs::create_directory(dir + "/tavrine");
    const std::string game = bin_dir() + "/../game/tavrine/";
    fs::copy_file(game + "tavrine][", dir + "/tavrine/tavrine][");
    fs::copy_file(game + "screen00.ans", dir + "/tavrine/screen00.ans");
    write_text(dir + "/tavrine.ini", "PATH=" + dir + "/tavrine/\n");
  }
  ~GameDir() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string path(const std::string& name) const { return dir + "/" + name; }
};

struct Result {
  int status = -1;  // exit status, 128 + signal, -1 when it had to be killed
  std::string out, err, log;
};

// Runs argv (argv[0] a path) with stdin /dev/null and stdout/stderr into
// files of `g`, extra environment `env`, for at most limit_s seconds;
// `during` is called every 20 ms while it runs.
Result run(const GameDir& g, const std::vector<std::string>& argv, int limit_s,
           const std::function<void(pid_t)>& during = {}, const std::vector<std::string>& env = {}) {
  const std::string out = g.path("stdout"), err = g.path("stderr");
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    for (const std::string& kv : env) putenv(const_cast<char*>(kv.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  Result r;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
  int ws = 0;
  for (;;) {
    if (waitpid(pid, &ws, WNOHANG) == pid) {
      r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
      break;
    }
    if (std::chrono::steady_clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &ws, 0);
      ADD_FAILURE() << argv[0] << " did not end within " << limit_s << " s";
      break;
    }
    if (during) during(pid);
    usleep(20000);
  }
  r.out = read_file(out);
  r.err = read_file(err);
  r.log = read_file(g.path("host.log"));
  return r;
}

// zv-host with config and script texts, the loader as the door.
Result host_session(const GameDir& g, const std::string& config, const std::string& script, int limit_s = 60,
                    const std::function<void(pid_t)>& during = {}) {
  write_text(g.path("host.conf"), config);
  write_text(g.path("session.script"), script);
  const std::string bin = bin_dir();
  return run(g,
             {bin + "/zv-host", "-t", std::to_string(limit_s - 10), "-c", g.path("host.conf"), "-s",
              g.path("session.script"), "-o", g.dir, "-l", g.path("host.log"), "--", bin + "/loadtavr", g.dir},
             limit_s, during);
}

std::string lines_config(int n, const std::string& extra = "") {
  std::string c = "lines = " + std::to_string(n) + "\nhangup_grace = 2\n";
  for (int i = 0; i < n; ++i)
    c += "[line " + std::to_string(i) + "]\nname = Caller" + std::to_string(i) + "\nlinefeeds = y\n" + extra;
  return c;
}

bool segment_gone() { return shmget(zv::SEGMENT_KEY, 0, 0) == -1 && semget(zv::SEMSET_KEY, 0, 0) == -1; }

class RefHost : public ::testing::Test {
 protected:
  void SetUp() override { ZV_PRIVATE_IPC(); }
  GameDir g;
};

// ---- Sessions ----

// The scripted session of make demo, run through the demo script itself.
TEST_F(RefHost, DemoSessionOfTwoCallersWhoBothPlay) {
  const std::string src = ZV_SOURCE_DIR;
  const Result r = run(g, {"/bin/sh", src + "/tools/demo.sh", bin_dir() + "/.."}, 90);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(count(r.out, "T A V R I N E"), 2u) << r.out;
  EXPECT_EQ(count(r.out, "Do you want to play Tavrine (y/n)?"), 2u);
  EXPECT_NE(r.out.find("Bob says: Hi Alice."), std::string::npos);
  EXPECT_NE(r.out.find("Alice says: Hello Bob!"), std::string::npos);
  EXPECT_EQ(count(r.out, "Thank you for playing Tavrine!"), 2u);
  EXPECT_NE(r.out.find("==== host log ===="), std::string::npos);
  EXPECT_EQ(count(r.out, "tavrine: server"), 2u) << "one start and one end of one server";
  EXPECT_NE(r.out.find("session over: every expectation met"), std::string::npos);
  EXPECT_NE(r.out.find("\u2554"), std::string::npos) << "the title's CP437 box reaches the caller as UTF-8";
}

TEST_F(RefHost, EightCallersEnterTheGameAtOnce) {
  std::string script;
  for (int i = 0; i < 8; ++i)
    script += "[line " + std::to_string(i) +
              "]\nexpect 30 (y/n)?\nsend y\nexpect 30 Welcome to the Tavern of Tavrine\npause 3000\nsend quit\n"
              "expect 30 Thank you for playing Tavrine!\nexit 30\n";
  const Result r = host_session(g, lines_config(8), script, 90);
  ASSERT_EQ(r.status, 0) << r.log << r.err;
  EXPECT_EQ(count(r.log, "tavrine: server"), 2u) << r.log;  // one start, one end
  EXPECT_EQ(count(r.log, "joins, loader"), 8u) << r.log;
  // All eight were in the game together: every join comes before the first leave.
  EXPECT_LT(r.log.rfind("joins"), r.log.find("leaves")) << r.log;
  EXPECT_EQ(count(r.log, "ended, status 0"), 8u) << r.log;
  for (int i = 0; i < 8; ++i) {
    const std::string t = read_file(g.path("line" + std::to_string(i) + ".txt"));
    EXPECT_EQ(count(t, "Thank you for playing Tavrine!"), 1u) << "line " << i << ":\n" << t;
  }
  EXPECT_TRUE(segment_gone());
}

TEST_F(RefHost, CallerHangsUpInsideTheGame) {
  const Result r = host_session(g, lines_config(2),
                                "[line 0]\nexpect 30 (y/n)?\nsend y\nexpect 30 Caller1 (line 1)\nhangup\nexit 20\n"
                                "[line 1]\nexpect 30 (y/n)?\nsend y\nexpect 30 Welcome\n"
                                "expect 30 Caller0 (line 0) leaves the tavern.\nsend q\nexpect 30 Thank you\nexit 20\n");
  ASSERT_EQ(r.status, 0) << r.log;
  // The server took the hang-up off the line's input queue, let go of the
  // line and woke its loader, which ended by itself (no SIGHUP needed).
  EXPECT_NE(r.log.find("tavrine: line 0 leaves (hung up), waking loader"), std::string::npos) << r.log;
  EXPECT_EQ(r.log.find("SIGHUP"), std::string::npos) << r.log;
  EXPECT_EQ(count(r.log, "ended, status 0"), 2u) << r.log;
  // A caller who hung up sees nothing more: no thanks on line 0.
  EXPECT_EQ(read_file(g.path("line0.txt")).find("Thank you"), std::string::npos);
}

// The server dies while two callers are in the game. Their loaders sleep on
// (nobody will wake them); the callers hang up, the host posts 243, and as
// no door ends within the grace time it sends SIGHUP, which ends them. The
// lines are freed.
TEST_F(RefHost, GameServerKilledWhileCallersAreInIt) {
  int server = 0;
  bool killed = false;
  const Result r = host_session(
      g, lines_config(2),
      "[line 0]\nexpect 30 (y/n)?\nsend y\nexpect 30 Welcome\npause 1500\nsend look\npause 500\n"
      "hangup\nexit 20\n"
      "[line 1]\nexpect 30 (y/n)?\nsend y\nexpect 30 Welcome\npause 1500\nhangup\nexit 20\n",
      60, [&](pid_t) {
        if (killed) return;
        const std::string log = read_file(g.path("host.log"));
        std::smatch m;
        if (count(log, "joins") == 2 && std::regex_search(log, m, std::regex("server (\\d+) starts"))) {
          server = std::stoi(m[1]);
          killed = kill(server, SIGKILL) == 0;
        }
      });
  ASSERT_TRUE(killed) << r.log;
  ASSERT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(count(r.log, "still running after the hang-up: SIGHUP"), 2u) << r.log;
  EXPECT_EQ(count(r.log, "ended, status 129"), 2u) << r.log;  // 128 + SIGHUP
  EXPECT_EQ(r.log.find("SIGKILL"), std::string::npos) << r.log;
  EXPECT_EQ(read_file(g.path("line0.txt")).find("You say: look"), std::string::npos);
  EXPECT_TRUE(segment_gone());
}

// Runs zv-host with `door` of this program as the door on line 0.
Result test_door_session(const GameDir& g, const std::string& door, const std::string& config,
                         const std::string& script) {
  write_text(g.path("host.conf"), config);
  write_text(g.path("session.script"), script);
  return run(g,
             {bin_dir() + "/zv-host", "-c", g.path("host.conf"), "-s", g.path("session.script"), "-o", g.dir, "-l",
              g.path("host.log"), "--", bin_dir() + "/ipc_refhost"},
             40, {}, {"ZV_REFHOST_TEST_DOOR=" + door});
}

TEST_F(RefHost, PageEndsWithMorePromptAndWaitsForAKey) {
  // Ten rows on pages of four (three rows and the prompt): three prompts.
  const Result r = test_door_session(g, "paging", lines_config(1, "pagelen = 4\n"),
                                     "[line 0]\nexpect 20 [more]\npause 300\nkey x\nexpect 20 [more]\nkey \\r\n"
                                     "expect 20 [more]\nkey q\nexpect 20 Question?\nsend yes\nexpect 20 answer yes\n"
                                     "exit 20\n");
  ASSERT_EQ(r.status, 0) << r.log;
  const std::string t = read_file(g.path("line0.txt"));
  EXPECT_EQ(count(t, "[more]"), 3u) << t;
  // Each prompt sits between two pages: the rest waited for the key.
  size_t at = 0;
  for (const char* row : {"row 3\n", "[more]", "row 4\n", "row 6\n", "[more]", "row 7\n", "row 9\n", "[more]",
                          "row 10\n", "Question? yes"}) {
    const size_t next = t.find(row, at);
    ASSERT_NE(next, std::string::npos) << row << " after offset " << at << " in:\n" << t;
    at = next;
  }
  // The keys went to the prompts, not to the door.
  EXPECT_EQ(t.find('x'), std::string::npos) << t;
  EXPECT_EQ(t.find("answer q"), std::string::npos) << t;
  EXPECT_NE(r.log.find("ended, status 0"), std::string::npos) << r.log;
}

TEST_F(RefHost, EchoModesLogWakeUpsDrainAndLogOff) {
  const Result r = test_door_session(
      g, "modes", lines_config(1),
      "[line 0]\nexpect 10 Password:\nsend secret\nexpect 10 got secret\nexpect 10 Name:\nsend bob\n"
      "expect 10 hello bob\nexpect 10 PIN:\nsend 1234\nexpect 10 pin 1234\nexpect 10 woken\n"
      "expect 10 drained\nexit 10\n");
  ASSERT_EQ(r.status, 0) << r.log;
  const std::string t = read_file(g.path("line0.txt"));
  EXPECT_NE(t.find("Password: \ngot secret"), std::string::npos) << "echo off hides the typing:\n" << t;
  EXPECT_NE(t.find("Name: bob\n"), std::string::npos) << t;
  EXPECT_NE(t.find("PIN: ****\n"), std::string::npos) << t;
  EXPECT_NE(t.find("woken"), std::string::npos);
  EXPECT_EQ(t.find("not woken"), std::string::npos);
  EXPECT_EQ(t.find("still here"), std::string::npos) << "log-off ends the door through 243";
  EXPECT_NE(r.log.find("line 0: door log line"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("line 0: echo off"), std::string::npos);
  EXPECT_NE(r.log.find("line 0: echo stars"), std::string::npos);
  EXPECT_NE(r.log.find("wake-up of process 0 refused"), std::string::npos);
  EXPECT_NE(r.log.find("line 0: log-off asked"), std::string::npos);
  EXPECT_NE(r.log.find("ended, status 0"), std::string::npos);
}

TEST_F(RefHost, RefusesAnExistingSegmentUnlessToldToReuseIt) {
  const int id = shmget(zv::SEGMENT_KEY, zv::SEGMENT_SIZE, IPC_CREAT | 0660);
  ASSERT_NE(id, -1);
  const std::string script = "[line 0]\nexpect 20 (y/n)?\nsend n\nexpect 20 Thank you\nexit 20\n";
  Result r = host_session(g, lines_config(1), script);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
  EXPECT_NE(shmget(zv::SEGMENT_KEY, 0, 0), -1) << "a refused start leaves the segment alone";
  write_text(g.path("session.script"), script);
  const std::string bin = bin_dir();
  r = run(g,
          {bin + "/zv-host", "--reuse", "-c", g.path("host.conf"), "-s", g.path("session.script"), "-o", g.dir, "-l",
           g.path("host.log"), "--", bin + "/loadtavr", g.dir},
          40);
  EXPECT_EQ(r.status, 0) << r.log << r.err;
  EXPECT_TRUE(segment_gone());
}

TEST_F(RefHost, SigtermEndsTheSessionAndRemovesSegmentAndSemaphores) {
  bool sent = false;
  const Result r = host_session(g, lines_config(1), "[line 0]\nexpect 50 a text that never comes\n", 40,
                                [&](pid_t pid) {
                                  if (!sent && read_file(g.path("host.log")).find("caller") != std::string::npos &&
                                      shmget(zv::SEGMENT_KEY, 0, 0) != -1) {
                                    usleep(300000);
                                    sent = kill(pid, SIGTERM) == 0;
                                  }
                                });
  ASSERT_TRUE(sent);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.log.find("signal 15: stopping"), std::string::npos) << r.log;
  EXPECT_TRUE(segment_gone());
}

// ---- Interactive mode through a pseudo-terminal ----

struct PtyRun {
  int master = -1;
  pid_t pid = -1;
  std::string seen;
  bool read_until(const std::string& text, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (seen.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until) return false;
      char buf[1024];
      const ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) seen.append(buf, static_cast<size_t>(n));
      else usleep(10000);
    }
    return true;
  }
  int wait(int ms) {
    int ws = 0;
    for (int i = 0; i < ms / 10; ++i) {
      char buf[1024];
      const ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) seen.append(buf, static_cast<size_t>(n));
      if (waitpid(pid, &ws, WNOHANG) == pid) return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
      usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &ws, 0);
    return -1;
  }
};

PtyRun start_interactive(const GameDir& g) {
  write_text(g.path("host.conf"), lines_config(1, "cp437 = 1\n"));
  PtyRun p;
  p.master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(p.master);
  unlockpt(p.master);
  const std::string slave = ptsname(p.master);
  fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
  const std::string bin = bin_dir();
  const std::vector<std::string> argv = {bin + "/zv-host", "-c", g.path("host.conf"), "-l", g.path("host.log"),
                                         "--", bin + "/loadtavr", g.dir};
  p.pid = fork();
  if (p.pid == 0) {
    setsid();
    const int s = open(slave.c_str(), O_RDWR);
    ioctl(s, TIOCSCTTY, 0);
    dup2(s, 0);
    dup2(s, 1);
    dup2(s, 2);
    close(p.master);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return p;
}

bool cooked(int master) {
  termios t{};
  return tcgetattr(master, &t) == 0 && (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
}

TEST_F(RefHost, InteractiveCallerDeclinesAndTheTerminalIsRestored) {
  PtyRun p = start_interactive(g);
  ASSERT_TRUE(p.read_until("Do you want to play Tavrine (y/n)?", 20000)) << p.seen;
  EXPECT_FALSE(cooked(p.master)) << "the caller's terminal is in raw mode during the session";
  EXPECT_NE(p.seen.find("\u2550"), std::string::npos) << "CP437 box lines as UTF-8";
  ASSERT_EQ(write(p.master, "n\r", 2), 2);
  EXPECT_TRUE(p.read_until("Thank you for playing Tavrine!", 20000)) << p.seen;
  EXPECT_EQ(p.wait(20000), 0) << p.seen;
  EXPECT_NE(p.seen.find("(y/n)? \x1b[0mn\r\n"), std::string::npos) << "typing echoed";
  EXPECT_TRUE(cooked(p.master)) << "terminal mode put back";
  EXPECT_TRUE(segment_gone());
  close(p.master);
}

TEST_F(RefHost, InteractiveHangUpKeyEndsTheDoorAndRestoresTheTerminal) {
  PtyRun p = start_interactive(g);
  ASSERT_TRUE(p.read_until("(y/n)?", 20000)) << p.seen;
  ASSERT_EQ(write(p.master, "\x1d", 1), 1);
  EXPECT_EQ(p.wait(20000), 0) << p.seen;
  EXPECT_EQ(p.seen.find("Thank you"), std::string::npos);
  EXPECT_TRUE(cooked(p.master));
  const std::string log = read_file(g.path("host.log"));
  EXPECT_NE(log.find("hang-up (Ctrl-])"), std::string::npos) << log;
  EXPECT_NE(log.find("ended, status 0"), std::string::npos) << log;
  close(p.master);
}

}  // namespace
