// engine: a small Corvan BBS host, for tests and as the core of front ends.
//
// The engine does what the host daemon does for doors, and nothing a door
// could tell apart from it:
//   - creates the segment (key 6486, 325332 bytes at 0x80000000) and the
//     semaphore set (key 6487) with the host-side functions shm_init() and
//     sem_init(), resets pools and queues with clear_shared_mem(), and marks
//     the host running (semaphore 0 = 0);
//   - opens one pseudo-terminal per line and fills nchans, linctrl[i]
//     (active, ttyname exactly as ttyname() names the slave), user[i]
//     (u_stat, u_ansi, u_pagelen, door_inq, door_outq) and acct[i]
//     (acctname, linlen, linfed);
//   - starts door processes with the line's slave as standard input and
//     controlling terminal (setsid + TIOCSCTTY);
//   - drains the output queues 0..nchans-1 into per-line transcripts and
//     block lists (with each block's page flag), serves the request queue
//     128 (every request recorded with its fields; MSG_WAITEMPTY answered
//     with MSG_DRAINED on the line's door_inq once that line's output queue
//     is empty), and posts input (202), hang-up (243) and drain answers (244).
// Every pool and queue operation goes through the library's own a_mdb,
// copy_to_buffers, queue_mdb, dequeue_mdb, copy_from_buffers and
// release_mdb, so the engine takes the semaphores exactly as doors do.
//
// Driving it. Nothing runs in the background: the owner calls step() (one
// look at everything, optionally waiting a little when there is nothing to
// do) or one of the run_until helpers, which step until a condition holds
// or a deadline passes. Every wait has a deadline; the only unbounded wait
// is for a pool or queue lock that a door holds (as for any host).
//
// One engine per process: the library's globals shm and semid are
// process-wide. The engine remembers the process that started it; in a
// forked child (a door) stop() and the destructor do nothing.
//
// Usage in a test:
//   zv::host::Engine host;
//   ASSERT_EQ(host.start({.lines = 2}), "");
//   pid_t door = host.start_door(1, [] { zv::init(); zv::send("hi\r"); return 0; });
//   EXPECT_TRUE(host.run_until_text(1, "hi\r", 5000));
//   EXPECT_EQ(host.wait_door(door, 5000), 0);
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "records.h"

namespace zv::host {

// How the engine sets up one line. Every field is written into the segment
// at start(); tests may change the records afterwards through user(),
// acct() and linctrl().
struct LineConfig {
  bool pty = true;        // open a pseudo-terminal and store its name in linctrl.ttyname
  bool active = true;     // linctrl.active (1 or 0)
  bool caller = true;     // user.u_stat (1 or 0)
  int ansi = 1;           // user.u_ansi
  int pagelen = 0;        // user.u_pagelen, 0 = no paging
  int door_inq = -1;      // user.door_inq; -1 gives default_inq(line)
  int door_outq = -1;     // user.door_outq; -1 gives the line number
  std::uint32_t linlen = 80;  // acct.linlen
  char linfed = 'n';          // acct.linfed ('y': line feed after carriage returns)
  std::string name;           // acct.acctname; empty gives "Caller <line>"
};

struct Config {
  int lines = 2;                 // nchans; lines 0..lines-1 are set up (at most 64)
  std::vector<LineConfig> line;  // per line; lines without an entry take LineConfig{}
  bool private_ipc = true;       // enter a fresh IPC namespace before creating anything
  bool running = true;           // semaphore 0 = 0 once set up (false: 1, "not running")
  bool remove_on_stop = true;    // stop() removes the segment and the semaphore set
  std::string version = "Corvan 1.0";  // shm->version (cut to 19 characters)
};

// The input queue a line gets when LineConfig::door_inq is -1: 64 + line,
// clear of the output queues 0..63 and the request queue 128.
constexpr int default_inq(int line) noexcept { return 64 + line; }

// A block the engine took off a line's output queue.
struct OutputBlock {
  int code = 0;        // command (MSG_OUTPUT from transmit and sendtoq)
  int line = 0;        // the block's line field
  bool page = false;   // flag == 1: the block ends a full page and more follows
  std::string text;    // the bytes of its buffer chain, in chain order
};

// A block the engine took off the request queue 128, as it was sent.
struct Request {
  int code = 0;
  int line = 0;
  int length = 0;
  int flag = 0;
  std::string text;  // bytes of the buffer chain (empty when none)
};

// Where a door's standard output or error goes.
enum class Stream {
  capture,   // a pipe the engine reads: door_stdout()/door_stderr()
  terminal,  // the line's pseudo-terminal (read back with tty_output())
  null,      // /dev/null
  inherit,   // the engine's own
};

struct DoorOptions {
  bool terminal_stdin = true;        // false: standard input is /dev/null
  bool controlling_terminal = true;  // setsid() and TIOCSCTTY on the line's terminal
  Stream out = Stream::capture;
  Stream err = Stream::capture;
};

class Engine {
 public:
  Engine() = default;
  ~Engine();  // stop()
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // ---- Life ----

  // Sets the host up as described at the top. Must be called once, in a
  // single-threaded process when private_ipc is set. Returns "" or a
  // description of what failed (then nothing needs stopping). Exits the
  // process with status 0 when shm_init() or sem_init() fail, as a host
  // does.
  std::string start(const Config& config);

  // Kills (SIGKILL) and reaps every door still running, closes the
  // terminals, marks the host not running and, with remove_on_stop,
  // detaches and removes segment and set, clearing shm and semid. Bounded:
  // gives up on a door that does not die within 2 seconds. Does nothing in
  // another process than the one that started the engine, or twice.
  void stop();

  bool started() const { return started_; }
  int lines() const { return lines_; }

  // Semaphore 0: 0 while running, 1 not running.
  void set_running(bool running);

  // ---- The segment's records of a line (0..63); need start() ----

  shared_mem_structure& segment();
  user_rec& user(int line);
  acct_rec& acct(int line);
  line_def_struct& linctrl(int line);

  // The terminal name stored for the line ("" without a terminal), and the
  // master side of its pseudo-terminal (-1 without one).
  std::string tty_name(int line) const;
  int pty_master(int line) const;

  // ---- Doors ----

  // Forks a door on `line`: standard input (and controlling terminal) is the
  // line's terminal, the engine's descriptors are closed, the segment is
  // detached and the library's globals cleared so that the door attaches
  // itself with init(). The first form runs body() and exits with its
  // result (a body may also end in end_task()); the second execs argv[0]
  // (PATH searched), exiting with status 127 when that fails. Returns the
  // process id, or -1 when the line has no terminal although one is asked
  // for, or fork fails.
  pid_t start_door(int line, const std::function<int()>& body, const DoorOptions& opt = {});
  pid_t start_door(int line, const std::vector<std::string>& argv, const DoorOptions& opt = {});

  // Steps until the door has ended or timeout_ms passed. Returns its exit
  // status, 128 + signal number when a signal ended it, or -1 on time-out
  // or for a process the engine did not start.
  int wait_door(pid_t pid, int timeout_ms);

  // Whether the door has ended (reaped by a step); its status as wait_door.
  bool door_done(pid_t pid) const;
  int door_status(pid_t pid) const;

  // What a door wrote to its captured standard output / error so far.
  std::string door_stdout(pid_t pid) const;
  std::string door_stderr(pid_t pid) const;

  // Sends a signal to a door the engine started and has not reaped.
  void signal_door(pid_t pid, int sig);

  // ---- Event loop ----

  // One look at everything: drains the output queues of lines not held,
  // serves queue 128 (when serving), answers owed MSG_WAITEMPTY requests
  // whose line's queue is empty, reads terminal and captured-stream data
  // and reaps ended doors. When that found nothing and wait_ms > 0, waits
  // up to wait_ms (in short slices) for something to happen and looks
  // again. Returns the number of things handled (blocks, requests, answers,
  // reads, exits).
  int step(int wait_ms = 0);

  // Steps until done() holds (checked before every step) or timeout_ms
  // passes. Returns whether done() held.
  bool run_until(const std::function<bool()>& done, int timeout_ms);

  // run_until the line's transcript holds `text` anywhere.
  bool run_until_text(int line, std::string_view text, int timeout_ms);

  // run_until some request with `code` has been recorded since the
  // engine started (or since clear_records()).
  bool run_until_request(int code, int timeout_ms);

  // Steps for `ms` milliseconds whatever happens.
  void run_for(int ms);

  // ---- Posting to doors ----

  // MSG_INPUT with the bytes of `text` (no NUL added) on the line's
  // door_inq. Returns false (nothing queued) when no block is free or
  // door_inq is not a queue index; a text the buffer pool cannot hold is
  // cut.
  bool post_input(int line, std::string_view text);

  // MSG_GONE (243) on the line's door_inq: the door must end.
  bool post_gone(int line);

  // MSG_DRAINED (244) on the line's door_inq.
  bool post_drained(int line);

  // A block with `code`, `line` field = line, and the bytes of text on
  // queue q. Returns false when q is not a queue index or no block is free.
  bool post(int q, int code, std::string_view text, int line = 0);

  // ---- What the engine took in ----

  // Bytes of every MSG_OUTPUT block taken off the line's queue, in order.
  const std::string& transcript(int line) const;
  // Every block taken off the line's queue (any code), in order.
  const std::vector<OutputBlock>& blocks(int line) const;
  // Every request taken off queue 128, in order.
  const std::vector<Request>& requests() const { return requests_; }
  // Bytes the line's terminal master read (doors whose output goes there).
  const std::string& tty_output(int line) const;
  // Forgets transcripts, blocks, requests and terminal output.
  void clear_records();

  // ---- Control ----

  // While held, a line's output queue is left alone (and MSG_WAITEMPTY for
  // it stays unanswered): for paced "more" prompts, or to look at raw
  // queues in tests.
  void hold_output(int line, bool hold);
  bool output_held(int line) const;

  // Whether step() serves queue 128 (default true).
  void serve_requests(bool serve) { serve_requests_ = serve; }

  // Front-end hooks, called from step() after the engine's own handling.
  // An on_output hook that holds its line (hold_output) stops the drain of
  // that line right after the block it was given.
  std::function<void(int line, const OutputBlock&)> on_output;
  std::function<void(const Request&)> on_request;
  std::function<void(pid_t pid, int status)> on_door_exit;

 private:
  struct Door {
    int line = -1;
    int out_fd = -1;
    int err_fd = -1;
    bool done = false;
    int status = -1;
    std::string out;
    std::string err;
  };
  struct Line {
    int master = -1;
    int slave = -1;  // kept open so the master never reads as hung up
    std::string tty;
    bool held = false;
    int owed_drains = 0;
    std::string transcript;
    std::vector<OutputBlock> blocks;
    std::string tty_out;
  };

  pid_t launch(int line, const DoorOptions& opt, const std::function<void()>& run);
  void setup_child(int line, const DoorOptions& opt, int out_w, int err_w);
  int drain_outputs();
  int serve_request_queue();
  int answer_drains();
  int read_streams();
  int reap_doors();
  int look_once();
  void check_line(int line) const;

  bool started_ = false;
  pid_t owner_ = -1;
  bool remove_on_stop_ = true;
  bool serve_requests_ = true;
  int lines_ = 0;
  Line line_[MAX_LINES];
  std::map<pid_t, Door> doors_;
  std::vector<Request> requests_;
};

}  // namespace zv::host
