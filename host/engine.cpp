// engine: the host engine (see engine.h).
#include "engine.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "abuf.h"
#include "semutils.h"
#include "zivevuva.h"

namespace zv::host {
namespace {

using clock = std::chrono::steady_clock;

constexpr int kSliceMs = 2;             // one wait slice of step() when idle
constexpr int kStopGraceMs = 2000;      // how long stop() waits for a killed door
constexpr int kChainMax = NUM_BUFFERS * BUFFER_TEXT;  // longest text a chain can hold
constexpr int kExecFailed = 127;        // exit status of a door whose program did not run

clock::time_point deadline_after(int ms) { return clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms); }

bool write_small_file(const char* path, const char* text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const auto len = static_cast<ssize_t>(std::strlen(text));
  const bool ok = ::write(fd, text, static_cast<size_t>(len)) == len;
  ::close(fd);
  return ok;
}

// A fresh IPC namespace: as root unshare(CLONE_NEWIPC), otherwise inside a
// new user namespace that maps the caller to root.
std::string enter_private_ipc() {
  if (::geteuid() == 0) {
    if (::unshare(CLONE_NEWIPC) == 0) return "";
    return std::string("unshare(CLONE_NEWIPC): ") + std::strerror(errno);
  }
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0)
    return std::string("unshare(CLONE_NEWUSER|CLONE_NEWIPC): ") + std::strerror(errno);
  char map[64];
  std::snprintf(map, sizeof map, "0 %u 1\n", static_cast<unsigned>(uid));
  if (!write_small_file("/proc/self/uid_map", map)) return "cannot write uid_map";
  write_small_file("/proc/self/setgroups", "deny");
  std::snprintf(map, sizeof map, "0 %u 1\n", static_cast<unsigned>(gid));
  if (!write_small_file("/proc/self/gid_map", map)) return "cannot write gid_map";
  return "";
}

void set_nonblocking(int fd) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl != -1) ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// Opens a pseudo-terminal pair: master (non-blocking) and slave, both
// close-on-exec and neither becoming the engine's controlling terminal. The
// slave is put in raw mode so bytes a door writes reach the master as they
// are. `tty` receives the slave's name as ttyname() gives it.
std::string open_pty(int& master, int& slave, std::string& tty) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return std::string("posix_openpt: ") + std::strerror(errno);
  char path[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, path, sizeof path) != 0) {
    const std::string err = std::string("pseudo-terminal set-up: ") + std::strerror(errno);
    ::close(master);
    master = -1;
    return err;
  }
  slave = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    const std::string err = std::string("open ") + path + ": " + std::strerror(errno);
    ::close(master);
    master = -1;
    return err;
  }
  char name[128];
  if (::ttyname_r(slave, name, sizeof name) != 0) std::snprintf(name, sizeof name, "%s", path);
  tty = name;
  termios t{};
  if (::tcgetattr(slave, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
  }
  set_nonblocking(master);
  return "";
}

// Reads what is there from a non-blocking descriptor into `into`. Returns
// the bytes read; sets `eof` when the writer side is gone.
int read_available(int fd, std::string& into, bool& eof) {
  int total = 0;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<size_t>(n));
      total += static_cast<int>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) eof = true;
    if (n < 0 && errno == EINTR) continue;
    return total;
  }
}

// The text of a block's buffer chain.
std::string chain_text(const mdbrec* m) {
  std::string s(static_cast<size_t>(kChainMax), '\0');
  const int n = copy_from_buffers(s.data(), kChainMax, m);
  s.resize(static_cast<size_t>(n > 0 ? n : 0));
  return s;
}

int status_of(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

const std::string kEmpty;
const std::vector<OutputBlock> kNoBlocks;

}  // namespace

Engine::~Engine() { stop(); }

void Engine::check_line(int line) const {
  if (!started_ || line < 0 || line >= MAX_LINES) {
    std::fprintf(stderr, "zvhost: line %d used outside 0..63 or before start()\n", line);
    std::abort();
  }
}

// ---- Life ----

std::string Engine::start(const Config& config) {
  if (started_) return "engine already started";
  if (shm != nullptr) return "a segment is already attached in this process";
  if (config.lines < 0 || config.lines > MAX_LINES) return "lines must lie in 0..64";
  if (config.private_ipc) {
    const std::string err = enter_private_ipc();
    if (!err.empty()) return err;
  }
  shm_init();
  sem_init();
  // A set left by an earlier host in this namespace keeps its values: free
  // every lock, and say "not running" until the lines are ready.
  sem_setval(semid, SEM_RUNNING, 1);
  for (int s = SEM_QUEUES; s < SEMSET_COUNT; ++s) sem_setval(semid, s, 1);
  std::memset(shm->acct, 0, sizeof shm->acct);
  std::memset(shm->user, 0, sizeof shm->user);
  std::memset(shm->linctrl, 0, sizeof shm->linctrl);
  std::memset(shm->version, 0, sizeof shm->version);
  std::snprintf(shm->version, sizeof shm->version, "%s", config.version.c_str());
  clear_shared_mem();

  owner_ = ::getpid();
  started_ = true;
  remove_on_stop_ = config.remove_on_stop;
  lines_ = config.lines;
  shm->nchans = config.lines;
  for (int i = 0; i < config.lines; ++i) {
    const LineConfig lc = i < static_cast<int>(config.line.size()) ? config.line[static_cast<size_t>(i)] : LineConfig{};
    Line& l = line_[i];
    line_def_struct& lin = shm->linctrl[i];
    if (lc.pty) {
      const std::string err = open_pty(l.master, l.slave, l.tty);
      if (!err.empty()) {
        stop();
        return err;
      }
      if (l.tty.size() >= sizeof lin.ttyname) {
        const std::string err2 = "terminal name too long for the line record: " + l.tty;
        stop();
        return err2;
      }
      std::memcpy(lin.ttyname, l.tty.c_str(), l.tty.size() + 1);
    }
    lin.active = lc.active ? 1 : 0;
    user_rec& u = shm->user[i];
    u.u_stat = lc.caller ? 1 : 0;
    u.u_ansi = lc.ansi;
    u.u_pagelen = lc.pagelen;
    u.door_inq = lc.door_inq >= 0 ? lc.door_inq : default_inq(i);
    u.door_outq = lc.door_outq >= 0 ? lc.door_outq : i;
    acct_rec& a = shm->acct[i];
    a.linlen = lc.linlen;
    a.linfed = lc.linfed;
    const std::string name = lc.name.empty() ? "Caller " + std::to_string(i) : lc.name;
    std::snprintf(a.acctname, sizeof a.acctname, "%s", name.c_str());
  }
  set_running(config.running);
  return "";
}

void Engine::stop() {
  if (!started_ || ::getpid() != owner_) return;
  for (auto& [pid, d] : doors_) {
    if (d.done) continue;
    ::kill(pid, SIGKILL);
    const auto until = deadline_after(kStopGraceMs);
    int ws = 0;
    while (::waitpid(pid, &ws, WNOHANG) == 0 && clock::now() < until) ::usleep(1000);
    d.done = true;
  }
  for (auto& [pid, d] : doors_) {
    if (d.out_fd >= 0) ::close(d.out_fd);
    if (d.err_fd >= 0) ::close(d.err_fd);
    d.out_fd = d.err_fd = -1;
  }
  for (Line& l : line_) {
    if (l.master >= 0) ::close(l.master);
    if (l.slave >= 0) ::close(l.slave);
    l = Line{};
  }
  set_running(false);
  if (remove_on_stop_) {
    if (shm != nullptr) ::shmdt(shm);
    const int id = ::shmget(SEGMENT_KEY, 0, 0);
    if (id != -1) ::shmctl(id, IPC_RMID, nullptr);
    if (semid != -1) ::semctl(semid, 0, IPC_RMID);
    shm = nullptr;
    semid = -1;
  }
  started_ = false;
  lines_ = 0;
  doors_.clear();
  requests_.clear();
}

void Engine::set_running(bool running) {
  if (semid != -1) sem_setval(semid, SEM_RUNNING, running ? 0 : 1);
}

// ---- Records ----

shared_mem_structure& Engine::segment() {
  check_line(0);
  return *shm;
}
user_rec& Engine::user(int line) {
  check_line(line);
  return shm->user[line];
}
acct_rec& Engine::acct(int line) {
  check_line(line);
  return shm->acct[line];
}
line_def_struct& Engine::linctrl(int line) {
  check_line(line);
  return shm->linctrl[line];
}

std::string Engine::tty_name(int line) const {
  return line >= 0 && line < MAX_LINES ? line_[line].tty : std::string();
}
int Engine::pty_master(int line) const { return line >= 0 && line < MAX_LINES ? line_[line].master : -1; }

// ---- Doors ----

void Engine::setup_child(int line, const DoorOptions& opt, int out_w, int err_w) {
  // The door starts as the host starts one: signals at their defaults, its
  // own session with the line's terminal as controlling terminal and
  // standard input.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGCHLD, SIGUSR1, SIGUSR2, SIGPIPE, SIGHUP, SIGINT, SIGTERM}) std::signal(sig, SIG_DFL);
  const Line& l = line_[line];
  int in = -1;
  int tty = -1;
  if (opt.controlling_terminal || opt.terminal_stdin || opt.out == Stream::terminal || opt.err == Stream::terminal) {
    if (opt.controlling_terminal) ::setsid();
    if (!l.tty.empty()) {
      tty = ::open(l.tty.c_str(), O_RDWR | (opt.controlling_terminal ? 0 : O_NOCTTY));
      if (tty >= 0 && opt.controlling_terminal) ::ioctl(tty, TIOCSCTTY, 0);
    }
  }
  const int devnull = ::open("/dev/null", O_RDWR);
  in = opt.terminal_stdin && tty >= 0 ? tty : devnull;
  auto target = [&](Stream s, int pipe_w) {
    switch (s) {
      case Stream::capture: return pipe_w;
      case Stream::terminal: return tty >= 0 ? tty : devnull;
      case Stream::null: return devnull;
      case Stream::inherit: return -1;
    }
    return -1;
  };
  const int out = target(opt.out, out_w);
  const int err = target(opt.err, err_w);
  if (in >= 0) ::dup2(in, STDIN_FILENO);
  if (out >= 0) ::dup2(out, STDOUT_FILENO);
  if (err >= 0) ::dup2(err, STDERR_FILENO);
  // Nothing of the engine's stays open in the door.
  const long max_fd = ::sysconf(_SC_OPEN_MAX);
  const int limit = max_fd > 0 && max_fd < 4096 ? static_cast<int>(max_fd) : 4096;
  for (int fd = 3; fd < limit; ++fd) ::close(fd);
  // The door attaches the segment itself, at the same fixed address.
  if (shm != nullptr) ::shmdt(shm);
  zv::shm = nullptr;
  zv::semid = -1;
  zv::acnt = zv::myacct = nullptr;
  zv::user = zv::myuser = nullptr;
  zv::cfg = nullptr;
  zv::who = zv::numlines = zv::inq = zv::outq = 0;
}

pid_t Engine::launch(int line, const DoorOptions& opt, const std::function<void()>& run) {
  if (!started_ || line < 0 || line >= MAX_LINES) return -1;
  const bool needs_tty = opt.terminal_stdin || opt.controlling_terminal || opt.out == Stream::terminal ||
                         opt.err == Stream::terminal;
  if (needs_tty && line_[line].tty.empty()) return -1;
  int outp[2] = {-1, -1};
  int errp[2] = {-1, -1};
  if (opt.out == Stream::capture && ::pipe2(outp, O_CLOEXEC) != 0) return -1;
  if (opt.err == Stream::capture && ::pipe2(errp, O_CLOEXEC) != 0) {
    if (outp[0] >= 0) {
      ::close(outp[0]);
      ::close(outp[1]);
    }
    return -1;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    setup_child(line, opt, outp[1], errp[1]);
    run();
    std::fflush(nullptr);
    ::_exit(0);
  }
  if (outp[1] >= 0) ::close(outp[1]);
  if (errp[1] >= 0) ::close(errp[1]);
  if (pid < 0) {
    if (outp[0] >= 0) ::close(outp[0]);
    if (errp[0] >= 0) ::close(errp[0]);
    return -1;
  }
  Door d;
  d.line = line;
  d.out_fd = outp[0];
  d.err_fd = errp[0];
  if (d.out_fd >= 0) set_nonblocking(d.out_fd);
  if (d.err_fd >= 0) set_nonblocking(d.err_fd);
  doors_[pid] = std::move(d);
  return pid;
}

pid_t Engine::start_door(int line, const std::function<int()>& body, const DoorOptions& opt) {
  return launch(line, opt, [&body] {
    const int code = body ? body() : 0;
    std::fflush(nullptr);
    ::_exit(code);
  });
}

pid_t Engine::start_door(int line, const std::vector<std::string>& argv, const DoorOptions& opt) {
  if (argv.empty()) return -1;
  return launch(line, opt, [&argv] {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    std::fflush(stderr);
    ::_exit(kExecFailed);
  });
}

int Engine::wait_door(pid_t pid, int timeout_ms) {
  auto it = doors_.find(pid);
  if (it == doors_.end()) return -1;
  if (!run_until([&] { return it->second.done; }, timeout_ms)) return -1;
  // Collect what the door wrote just before it ended.
  const auto until = deadline_after(200);
  while ((it->second.out_fd >= 0 || it->second.err_fd >= 0) && clock::now() < until) {
    if (read_streams() == 0) ::usleep(1000);
  }
  return it->second.status;
}

bool Engine::door_done(pid_t pid) const {
  auto it = doors_.find(pid);
  return it != doors_.end() && it->second.done;
}

int Engine::door_status(pid_t pid) const {
  auto it = doors_.find(pid);
  return it != doors_.end() && it->second.done ? it->second.status : -1;
}

std::string Engine::door_stdout(pid_t pid) const {
  auto it = doors_.find(pid);
  return it != doors_.end() ? it->second.out : std::string();
}

std::string Engine::door_stderr(pid_t pid) const {
  auto it = doors_.find(pid);
  return it != doors_.end() ? it->second.err : std::string();
}

void Engine::signal_door(pid_t pid, int sig) {
  auto it = doors_.find(pid);
  if (it != doors_.end() && !it->second.done) ::kill(pid, sig);
}

// ---- Event loop ----

int Engine::drain_outputs() {
  int handled = 0;
  const int n = lines_ < MAX_LINES ? lines_ : MAX_LINES;
  for (int q = 0; q < n; ++q) {
    Line& l = line_[q];
    if (l.held) continue;
    while (mdbrec* m = dequeue_mdb(q)) {
      OutputBlock b;
      b.code = m->command;
      b.line = m->line;
      b.page = m->flag == 1;
      b.text = chain_text(m);
      release_mdb(m);
      if (b.code == MSG_OUTPUT) l.transcript += b.text;
      l.blocks.push_back(b);
      ++handled;
      if (on_output) on_output(q, l.blocks.back());
      if (l.held) break;  // the hook paused the line (a "more" prompt)
    }
  }
  return handled;
}

int Engine::serve_request_queue() {
  if (!serve_requests_) return 0;
  int handled = 0;
  while (mdbrec* m = dequeue_mdb(REQUEST_QUEUE)) {
    Request r;
    r.code = m->command;
    r.line = m->line;
    r.length = m->length;
    r.flag = m->flag;
    r.text = chain_text(m);
    release_mdb(m);
    if (r.code == MSG_WAITEMPTY && r.line >= 0 && r.line < lines_) ++line_[r.line].owed_drains;
    requests_.push_back(r);
    ++handled;
    if (on_request) on_request(requests_.back());
  }
  return handled;
}

int Engine::answer_drains() {
  int handled = 0;
  for (int i = 0; i < lines_; ++i) {
    Line& l = line_[i];
    // drain_outputs() has just emptied the queue of every line not held:
    // everything the door sent before asking is out.
    if (l.owed_drains == 0 || l.held) continue;
    while (l.owed_drains > 0 && post_drained(i)) {
      --l.owed_drains;
      ++handled;
    }
  }
  return handled;
}

int Engine::read_streams() {
  int handled = 0;
  for (int i = 0; i < lines_; ++i) {
    Line& l = line_[i];
    if (l.master < 0) continue;
    bool eof = false;
    handled += read_available(l.master, l.tty_out, eof) > 0 ? 1 : 0;
  }
  for (auto& [pid, d] : doors_) {
    for (auto [fd, into] : {std::pair<int*, std::string*>{&d.out_fd, &d.out}, {&d.err_fd, &d.err}}) {
      if (*fd < 0) continue;
      bool eof = false;
      handled += read_available(*fd, *into, eof) > 0 ? 1 : 0;
      if (eof) {
        ::close(*fd);
        *fd = -1;
      }
    }
  }
  return handled;
}

int Engine::reap_doors() {
  int handled = 0;
  for (auto& [pid, d] : doors_) {
    if (d.done) continue;
    int ws = 0;
    const pid_t r = ::waitpid(pid, &ws, WNOHANG);
    if (r == pid) {
      d.done = true;
      d.status = status_of(ws);
      ++handled;
      if (on_door_exit) on_door_exit(pid, d.status);
    } else if (r == -1 && errno == ECHILD) {
      d.done = true;  // reaped elsewhere: its status is unknown
      ++handled;
    }
  }
  return handled;
}

int Engine::look_once() {
  int handled = drain_outputs();
  handled += serve_request_queue();
  handled += drain_outputs();  // output queued just before a drain request
  handled += answer_drains();
  handled += read_streams();
  const int reaped = reap_doors();
  // Output a door queued just before it ended belongs in the transcript by
  // the time anyone learns that it ended.
  if (reaped > 0) handled += reaped + drain_outputs();
  return handled;
}

int Engine::step(int wait_ms) {
  if (!started_) return 0;
  int handled = look_once();
  if (handled > 0 || wait_ms <= 0) return handled;
  const auto until = deadline_after(wait_ms);
  while (clock::now() < until) {
    // Queues have no descriptor to wait on; terminals and pipes do.
    std::vector<pollfd> fds;
    for (int i = 0; i < lines_; ++i)
      if (line_[i].master >= 0) fds.push_back({line_[i].master, POLLIN, 0});
    for (auto& [pid, d] : doors_) {
      if (d.out_fd >= 0) fds.push_back({d.out_fd, POLLIN, 0});
      if (d.err_fd >= 0) fds.push_back({d.err_fd, POLLIN, 0});
    }
    ::poll(fds.data(), fds.size(), kSliceMs);
    handled = look_once();
    if (handled > 0) return handled;
  }
  return 0;
}

bool Engine::run_until(const std::function<bool()>& done, int timeout_ms) {
  const auto until = deadline_after(timeout_ms);
  for (;;) {
    if (done()) return true;
    if (!started_ || clock::now() >= until) return false;
    step(kSliceMs);
  }
}

bool Engine::run_until_text(int line, std::string_view text, int timeout_ms) {
  return run_until([&] { return transcript(line).find(text) != std::string::npos; }, timeout_ms);
}

bool Engine::run_until_request(int code, int timeout_ms) {
  return run_until(
      [&] {
        for (const Request& r : requests_)
          if (r.code == code) return true;
        return false;
      },
      timeout_ms);
}

void Engine::run_for(int ms) {
  const auto until = deadline_after(ms);
  while (started_ && clock::now() < until) step(kSliceMs);
}

// ---- Posting ----

bool Engine::post(int q, int code, std::string_view text, int line) {
  if (!started_ || !valid_queue(q)) return false;
  mdbrec* m = a_mdb();
  if (m == nullptr) return false;
  m->command = static_cast<std::int16_t>(code);
  m->line = static_cast<std::int16_t>(line);
  m->length = 0;
  m->flag = 0;
  if (!text.empty()) {
    const int len = text.size() < static_cast<size_t>(kChainMax) ? static_cast<int>(text.size()) : kChainMax;
    copy_to_buffers(text.data(), len, m);
  }
  if (queue_mdb(q, m) != 0) {
    release_mdb(m);
    return false;
  }
  return true;
}

bool Engine::post_input(int line, std::string_view text) {
  check_line(line);
  return post(shm->user[line].door_inq, MSG_INPUT, text, line);
}

bool Engine::post_gone(int line) {
  check_line(line);
  return post(shm->user[line].door_inq, MSG_GONE, {}, line);
}

bool Engine::post_drained(int line) {
  check_line(line);
  return post(shm->user[line].door_inq, MSG_DRAINED, {}, line);
}

// ---- Records and control ----

const std::string& Engine::transcript(int line) const {
  return line >= 0 && line < MAX_LINES ? line_[line].transcript : kEmpty;
}

const std::vector<OutputBlock>& Engine::blocks(int line) const {
  return line >= 0 && line < MAX_LINES ? line_[line].blocks : kNoBlocks;
}

const std::string& Engine::tty_output(int line) const {
  return line >= 0 && line < MAX_LINES ? line_[line].tty_out : kEmpty;
}

void Engine::clear_records() {
  for (Line& l : line_) {
    l.transcript.clear();
    l.blocks.clear();
    l.tty_out.clear();
  }
  requests_.clear();
}

void Engine::hold_output(int line, bool hold) {
  if (line >= 0 && line < MAX_LINES) line_[line].held = hold;
}

bool Engine::output_held(int line) const { return line >= 0 && line < MAX_LINES && line_[line].held; }

}  // namespace zv::host
