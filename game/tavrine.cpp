// tavrine][: a stand-in game server for the Tavrine loader.
//
// Started by a loader as "<dir>tavrine][ <dir>", it puts itself in the
// background with make_daemon() (the first process sends nothing and reads
// nothing: the loader holds the queue lock until it has exited), attaches as
// a tool and then serves every line whose doors_id is "Tavrine": it reads the
// line's input queue (door_inq) and writes to the line. The game is a small
// tavern where callers on different lines see each other come and go and can
// talk. When a caller leaves ("quit", or the host's hang-up message 243 on
// the input queue) the server hands the line back by writing "LoadTavrDevel"
// into its doors_id and wakes the line's loader with wakeup(). The loader
// publishes no process id: the server finds it in /proc as the process named
// "loadtavr" whose standard input is the line's terminal.
//
// The server ends when no line is in the game; the last look is made under
// the queue lock (hog), which a loader also holds while it looks for a
// running game and hands its line over, so a loader either sees the server
// still serving or starts a new one. It also ends when the host stops
// (semaphore 0 no longer 0, or the set is gone).
//
// A line whose doors_id stops being "Tavrine" while the server serves it
// (the host freed the line after its loader ended) is dropped silently.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "abuf.h"
#include "semutils.h"
#include "zivevuva.h"

namespace zv::game {
namespace {

constexpr char kGameId[] = "Tavrine";
constexpr char kLoaderId[] = "LoadTavrDevel";
constexpr char kLoaderName[] = "loadtavr";
constexpr int kInputMax = 256;

struct Player {
  bool in = false;
  int pid = 0;        // the line's loader, 0 while unknown
  char name[32] = {};
};

Player players[MAX_LINES];

bool is_game_line(int line) { return std::strcmp(user[line].doors_id, kGameId) == 0; }

// The process named kLoaderName whose standard input is `tty`; 0 when none.
int find_loader(const char* tty) {
  if (tty == nullptr || tty[0] == '\0') return 0;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return 0;
  int found = 0;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid <= 0) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    char comm[32] = {};
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    const ssize_t n = ::read(fd, comm, sizeof comm - 1);
    ::close(fd);
    if (n <= 0) continue;
    comm[n] = '\0';
    if (char* nl = std::strchr(comm, '\n')) *nl = '\0';
    if (std::strcmp(comm, kLoaderName) != 0) continue;
    std::snprintf(path, sizeof path, "/proc/%ld/fd/0", pid);
    char target[128];
    const ssize_t t = ::readlink(path, target, sizeof target - 1);
    if (t <= 0) continue;
    target[t] = '\0';
    if (std::strcmp(target, tty) == 0) {
      found = static_cast<int>(pid);
      break;
    }
  }
  ::closedir(d);
  return found;
}

int players_in() {
  int n = 0;
  for (int i = 0; i < numlines; ++i) n += players[i].in ? 1 : 0;
  return n;
}

// Text to every player but `except`.
void tell_others(int except, const char* text) {
  for (int i = 0; i < numlines; ++i)
    if (players[i].in && i != except) sendtoline(i, text);
}

void prompt(int line) { sendtoline(line, "Tavrine> "); }

void look(int line) {
  int others = 0;
  for (int i = 0; i < numlines; ++i) {
    if (!players[i].in || i == line) continue;
    if (others++ == 0) sendtoline(line, "At the tables you see:\r");
    char text[96];
    std::snprintf(text, sizeof text, "  %s (line %d)\r", players[i].name, i);
    sendtoline(line, text);
  }
  if (others == 0) sendtoline(line, "The tavern is empty but for you and the innkeeper.\r");
}

void help(int line) {
  sendtoline(line, "Commands: look, say <text> (or just type), quit\r");
}

void join(int line) {
  Player& p = players[line];
  p.in = true;
  p.pid = find_loader(shm->linctrl[line].ttyname);
  std::snprintf(p.name, sizeof p.name, "%s", acnt[line].acctname);
  char text[128];
  std::snprintf(text, sizeof text, "\r\x1b[1;33mWelcome to the Tavern of Tavrine, %s!\x1b[0m\r", p.name);
  sendtoline(line, text);
  help(line);
  look(line);
  prompt(line);
  std::snprintf(text, sizeof text, "\r%s (line %d) enters the tavern.\r", p.name, line);
  tell_others(line, text);
  send_lprintf("tavrine: line %d (%s) joins, loader %d", line, p.name, p.pid);
}

// The caller leaves the game. `gone`: the caller has hung up (no goodbye).
// Hands the line back and wakes its loader; ends the server when it was the
// last line in the game.
void leave(int line, bool gone) {
  Player& p = players[line];
  char text[128];
  if (!gone) sendtoline(line, "You finish your ale and leave the tavern.\r");
  std::snprintf(text, sizeof text, "\r%s (line %d) leaves the tavern.\r", p.name, line);
  p.in = false;
  tell_others(line, text);
  if (p.pid == 0 || !is_pid_active(p.pid)) p.pid = find_loader(shm->linctrl[line].ttyname);
  const int pid = p.pid;
  hog();
  if (is_game_line(line)) std::snprintf(user[line].doors_id, sizeof user[line].doors_id, "%s", kLoaderId);
  nohog();
  if (pid > 0) {
    send_lprintf("tavrine: line %d leaves%s, waking loader %d", line, gone ? " (hung up)" : "", pid);
    wakeup(pid);
  } else {
    send_lprintf("tavrine: line %d leaves, but its loader cannot be found", line);
  }
  p = Player{};
}

void handle_input(int line, char* text) {
  // The host sends the typed line without its end; cut one all the same.
  text[std::strcspn(text, "\r\n")] = '\0';
  char* cmd = text;
  while (*cmd == ' ') ++cmd;
  char out[kInputMax + 64];
  if (std::strcmp(cmd, "q") == 0 || std::strcmp(cmd, "quit") == 0 || std::strcmp(cmd, "Q") == 0) {
    leave(line, false);
    return;
  }
  if (std::strcmp(cmd, "l") == 0 || std::strcmp(cmd, "look") == 0) {
    look(line);
  } else if (std::strcmp(cmd, "h") == 0 || std::strcmp(cmd, "help") == 0 || std::strcmp(cmd, "?") == 0) {
    help(line);
  } else if (*cmd != '\0') {
    if (std::strncmp(cmd, "say ", 4) == 0) cmd += 4;
    std::snprintf(out, sizeof out, "\r%s says: %s\r", players[line].name, cmd);
    tell_others(line, out);
    std::snprintf(out, sizeof out, "You say: %s\r", cmd);
    sendtoline(line, out);
  }
  prompt(line);
}

// Takes everything waiting on the line's input queue.
void serve_input(int line) {
  const int q = user[line].door_inq;
  if (!valid_queue(q)) return;
  while (players[line].in) {
    mdbrec* m = dequeue_mdb(q);
    if (m == nullptr) return;
    const int code = m->command;
    char text[kInputMax + 1];
    const int n = copy_from_buffers(text, kInputMax, m);
    text[n > 0 ? n : 0] = '\0';
    release_mdb(m);
    if (code == MSG_GONE) {
      leave(line, true);
    } else if (code == MSG_INPUT) {
      handle_input(line, text);
    }
  }
}

// Under the queue lock: whether any line carries the game's id.
bool any_game_line_locked() {
  hog();
  bool any = false;
  for (int i = 0; i < numlines && !any; ++i) any = is_game_line(i);
  nohog();
  return any;
}

int run() {
  // The foreground half ends after a second; the loader waits for it.
  if (make_daemon() != 0) return 0;
  const int devnull = ::open("/dev/null", O_RDWR);
  if (devnull >= 0) {
    ::dup2(devnull, STDIN_FILENO);
    ::dup2(devnull, STDOUT_FILENO);
    ::dup2(devnull, STDERR_FILENO);
    if (devnull > STDERR_FILENO) ::close(devnull);
  }
  std::signal(SIGHUP, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  util_init();
  send_lprintf("tavrine: server %d starts", static_cast<int>(::getpid()));
  for (;;) {
    if (!check_active()) return 0;  // the host has stopped
    for (int i = 0; i < numlines; ++i) {
      const bool game = is_game_line(i);
      if (game && !players[i].in) join(i);
      else if (!game && players[i].in) players[i] = Player{};  // the host took the line back
    }
    for (int i = 0; i < numlines; ++i)
      if (players[i].in) serve_input(i);
    if (players_in() == 0 && !any_game_line_locked()) break;
    relinq();
  }
  send_lprintf("tavrine: server %d ends, no line in the game", static_cast<int>(::getpid()));
  return 0;
}

}  // namespace
}  // namespace zv::game

int main() { return zv::game::run(); }
