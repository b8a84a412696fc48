// zv-host: the reference host. Runs doors on pseudo-terminal lines the way
// the Corvan BBS host does, for sysops and door authors without a full host.
//
//   zv-host [-c CONFIG] [-s SCRIPT] [-o DIR] [-l LOG] [-t SECONDS]
//           [--reuse] [--private-ipc] [--] DOOR [ARG...]
//
// It is a front end on the host engine (host/engine.h): the engine creates
// and resets the segment and the semaphore set, opens the lines and starts
// the doors; zv-host adds the callers. Every output block (201) goes to the
// line's caller, with a "more" prompt after a block that ends a page (the
// line's output waits until the caller presses a key); requests on queue
// 128 are served: 218 goes to the log with the line number, 210 is answered
// with 244 once the line's output is out (engine), 205 and a hang-up post
// 243 to the door (and a door still running a few seconds later gets SIGHUP,
// then SIGKILL), 239 sends SIGUSR1 to the process named, 240/241/242 set the
// line's echo (on, off, stars), 213 forgets the caller's half-typed line;
// everything else is logged. When a door ends, the line is freed: its
// caller flag and door id are cleared.
//
// Two caller modes:
//   interactive (no -s; standard input must be a terminal): this terminal is
//     the caller on line 0, in raw mode; a typed line goes to the door as one
//     202 block when Enter is pressed; Ctrl-] hangs up. The terminal is put
//     back on every way out. The session ends when the door ends.
//   scripted (-s SCRIPT): each line named in the script gets the door and a
//     caller that follows the script's steps; what each caller saw is
//     written to DIR/line<N>.txt (escape sequences removed) and
//     DIR/line<N>.ans (as sent). Exit status 0 when every expectation was
//     met, 1 when one was not.
// Exit status 2: bad command line, config or script, or the host could not
// start (also when a host segment exists already and --reuse is not given).
//
// Config file (one "key = value" a line, "#" comments; "[line N]" starts the
// settings of line N):
//   lines = 2                 number of lines (1..64)
//   door = /path/loadtavr /data/dir    door command when none is given
//   hangup_grace = 3          seconds a door has to end after a hang-up
//   [line 0]
//   name = Alice              account name
//   ansi = 1                  0: the caller's terminal has no ANSI
//   width = 80                screen width (acct.linlen)
//   pagelen = 24              page length, 0 = no paging
//   linefeeds = y             line feed after each carriage return
//   cp437 = 1                 show CP437 bytes as UTF-8
//
// Script file ("#" comments; texts take \r \n \t \e \\ and \xHH escapes):
//   [line 0]
//   expect 10 Do you want     wait up to 10 s until the caller has seen it
//   send y                    type "y" and Enter
//   key \x1d                  type the bytes only
//   pause 500                 wait 500 ms
//   hangup                    the caller hangs up
//   exit 10                   wait up to 10 s until the line's door ended
// A line whose script is done and whose door still runs 2 s later is hung
// up. -t limits the whole session (default 120 s).
#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cp437.h"
#include "engine.h"
#include "zivevuva.h"

namespace zv::refhost {
namespace {

using clock = std::chrono::steady_clock;

constexpr int kHangupKey = 0x1d;            // Ctrl-]
constexpr int kEndOfScriptGraceMs = 2000;   // a door may end by itself after its script
constexpr int kKillGraceMs = 2000;          // from SIGHUP to SIGKILL
constexpr int kQuietMs = 500;               // log quiet this long: the session is over
constexpr int kQuietMaxMs = 3000;
constexpr size_t kTypedMax = 255;
constexpr char kMorePrompt[] = "[more]";

// ---- Settings ----

struct LineSettings {
  std::string name;
  int ansi = 1;
  unsigned width = 80;
  int pagelen = 0;
  char linefeeds = 'y';
  bool cp437 = false;
};

struct Settings {
  int lines = 1;
  std::vector<std::string> door;
  int grace_ms = 3000;
  LineSettings line[MAX_LINES];
};

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

std::vector<std::string> split_words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

bool to_int(const std::string& s, long lo, long hi, long& v) {
  char* end = nullptr;
  errno = 0;
  v = std::strtol(s.c_str(), &end, 10);
  return !s.empty() && *end == '\0' && errno == 0 && v >= lo && v <= hi;
}

// "[line N]" -> N, or -1.
int section_line(const std::string& t) {
  if (t.size() < 3 || t.front() != '[' || t.back() != ']') return -2;
  const std::vector<std::string> w = split_words(t.substr(1, t.size() - 2));
  long n = 0;
  if (w.size() != 2 || w[0] != "line" || !to_int(w[1], 0, MAX_LINES - 1, n)) return -1;
  return static_cast<int>(n);
}

bool load_config(const std::string& path, Settings& s, std::string& err) {
  std::ifstream in(path);
  if (!in) {
    err = "cannot read config " + path;
    return false;
  }
  std::string raw;
  int lineno = 0;
  int section = -1;
  while (std::getline(in, raw)) {
    ++lineno;
    const std::string t = trim(raw.substr(0, raw.find('#')));
    if (t.empty()) continue;
    const std::string where = path + ":" + std::to_string(lineno) + ": ";
    if (t.front() == '[') {
      section = section_line(t);
      if (section < 0) {
        err = where + "expected [line N] with N in 0..63";
        return false;
      }
      continue;
    }
    const size_t eq = t.find('=');
    if (eq == std::string::npos) {
      err = where + "expected key = value";
      return false;
    }
    const std::string key = trim(t.substr(0, eq));
    const std::string val = trim(t.substr(eq + 1));
    long v = 0;
    bool ok = true;
    if (section < 0) {
      if (key == "lines") ok = to_int(val, 1, MAX_LINES, v), s.lines = static_cast<int>(v);
      else if (key == "door") s.door = split_words(val);
      else if (key == "hangup_grace") ok = to_int(val, 0, 600, v), s.grace_ms = static_cast<int>(v) * 1000;
      else ok = false;
    } else {
      LineSettings& l = s.line[section];
      if (key == "name") l.name = val.substr(0, 31);
      else if (key == "ansi") ok = to_int(val, -1, 1, v), l.ansi = static_cast<int>(v);
      else if (key == "width") ok = to_int(val, 1, 1000, v), l.width = static_cast<unsigned>(v);
      else if (key == "pagelen") ok = to_int(val, 0, 1000, v), l.pagelen = static_cast<int>(v);
      else if (key == "linefeeds") ok = val == "y" || val == "n", l.linefeeds = val.empty() ? 'n' : val[0];
      else if (key == "cp437") ok = to_int(val, 0, 1, v), l.cp437 = v != 0;
      else ok = false;
    }
    if (!ok) {
      err = where + "bad setting '" + t + "'";
      return false;
    }
  }
  return true;
}

// ---- Scripts ----

enum class Op { expect, send, key, pause, hangup, exit };

struct Step {
  Op op = Op::pause;
  int ms = 0;
  std::string text;
  std::string source;  // file:line, for messages
};

// Texts in scripts: \r \n \t \e \\ \xHH.
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    const char c = s[++i];
    switch (c) {
      case 'r': out.push_back('\r'); break;
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case 'e': out.push_back('\x1b'); break;
      case 'x':
        if (i + 2 < s.size() + 0 && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
          out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
          i += 2;
        } else {
          out += "\\x";
        }
        break;
      default: out.push_back(c); break;
    }
  }
  return out;
}

bool load_script(const std::string& path, std::map<int, std::vector<Step>>& script, std::string& err) {
  std::ifstream in(path);
  if (!in) {
    err = "cannot read script " + path;
    return false;
  }
  std::string raw;
  int lineno = 0;
  int section = -1;
  while (std::getline(in, raw)) {
    ++lineno;
    std::string t = raw;
    if (!t.empty() && t.back() == '\r') t.pop_back();
    const std::string lead = trim(t);
    if (lead.empty() || lead[0] == '#') continue;
    const std::string where = path + ":" + std::to_string(lineno);
    if (lead.front() == '[') {
      section = section_line(lead);
      if (section < 0) {
        err = where + ": expected [line N] with N in 0..63";
        return false;
      }
      script[section];
      continue;
    }
    if (section < 0) {
      err = where + ": a step before the first [line N]";
      return false;
    }
    // The verb, then the rest of the line as it stands (one blank dropped).
    const size_t a = t.find_first_not_of(" \t");
    const size_t b = t.find_first_of(" \t", a);
    const std::string verb = t.substr(a, b == std::string::npos ? std::string::npos : b - a);
    std::string rest = b == std::string::npos ? "" : t.substr(b + 1);
    Step st;
    st.source = where;
    long v = 0;
    bool ok = true;
    auto number_then_text = [&](long hi, int scale) {
      const size_t sp = rest.find(' ');
      const std::string num = rest.substr(0, sp);
      if (!to_int(num, 0, hi, v)) return false;
      st.ms = static_cast<int>(v) * scale;
      st.text = sp == std::string::npos ? "" : unescape(rest.substr(sp + 1));
      return true;
    };
    if (verb == "expect") ok = number_then_text(3600, 1000) && !st.text.empty(), st.op = Op::expect;
    else if (verb == "send") st.op = Op::send, st.text = unescape(rest);
    else if (verb == "key") st.op = Op::key, st.text = unescape(rest), ok = !st.text.empty();
    else if (verb == "pause") st.op = Op::pause, ok = to_int(trim(rest), 0, 3600000, v), st.ms = static_cast<int>(v);
    else if (verb == "hangup") st.op = Op::hangup;
    else if (verb == "exit") st.op = Op::exit, ok = to_int(trim(rest), 0, 3600, v), st.ms = static_cast<int>(v) * 1000;
    else ok = false;
    if (!ok) {
      err = where + ": bad step '" + trim(t) + "'";
      return false;
    }
    script[section].push_back(st);
  }
  return true;
}

// ---- The session ----

struct LineState {
  bool used = false;
  pid_t door = -1;
  bool door_done = false;
  int status = -1;
  std::string raw;    // what the caller was sent, as sent (after CP437 translation)
  std::string plain;  // the same without escape sequences, line ends as "\n"
  int esc = 0;        // plain-text filter: 0 text, 1 after ESC, 2 in CSI
  bool last_cr = false;
  size_t cursor = 0;  // where the next expectation looks in plain
  int echo = 1;       // 0 off, 1 on, 2 stars
  std::string typed;
  bool last_typed_cr = false;
  bool more = false;
  bool hung = false;
  int kill_stage = 0;  // 0 243 posted, 1 SIGHUP sent, 2 SIGKILL sent
  clock::time_point hung_at;
  // script
  std::vector<Step> steps;
  size_t step = 0;
  bool step_begun = false;
  clock::time_point step_at;
  bool script_done = true;
  clock::time_point done_at;
};

Settings settings;
host::Engine engine;
LineState lines[MAX_LINES];
std::FILE* logf = stderr;
clock::time_point t0;
bool interactive = false;
clock::time_point last_request;
std::vector<std::string> failures;
volatile sig_atomic_t stop_signal = 0;

termios saved_tty{};
bool tty_raw = false;

void restore_terminal() {
  if (tty_raw) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
    tty_raw = false;
  }
}

void on_signal(int sig) { stop_signal = sig; }

int elapsed_ms(clock::time_point since) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - since).count());
}

void logmsg(int line, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void logmsg(int line, const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  const double s = elapsed_ms(t0) / 1000.0;
  if (line >= 0) std::fprintf(logf, "[%7.3f] line %d: %s\n", s, line, text);
  else std::fprintf(logf, "[%7.3f] host: %s\n", s, text);
  std::fflush(logf);
}

// Feeds bytes the caller saw into the line's plain-text record.
void add_plain(LineState& l, const std::string& bytes) {
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (l.esc == 1) {
      l.esc = c == '[' ? 2 : 0;
      continue;
    }
    if (l.esc == 2) {
      if (c >= 0x40 && c <= 0x7e) l.esc = 0;
      continue;
    }
    if (c == 0x1b) {
      l.esc = 1;
      continue;
    }
    if (c == '\r') {
      l.plain.push_back('\n');
      l.last_cr = true;
      continue;
    }
    const bool after_cr = l.last_cr;
    l.last_cr = false;
    if (c == '\n') {
      if (!after_cr) l.plain.push_back('\n');
      continue;
    }
    if (c == '\b') {
      if (!l.plain.empty() && l.plain.back() != '\n') l.plain.pop_back();
      continue;
    }
    if (c < 0x20 && c != '\t') continue;
    l.plain.push_back(ch);
  }
}

// Shows bytes to the caller on `line`.
void show(int line, const std::string& bytes) {
  LineState& l = lines[line];
  if (l.hung || bytes.empty()) return;
  l.raw += bytes;
  add_plain(l, bytes);
  if (interactive && line == 0) {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + off, bytes.size() - off);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
  }
}

std::string newline(int line) { return settings.line[line].linefeeds == 'y' ? "\r\n" : "\r"; }

void hang_up(int line, const char* why) {
  LineState& l = lines[line];
  if (l.hung || !l.used) return;
  logmsg(line, "hang-up (%s)", why);
  l.hung = true;
  l.hung_at = clock::now();
  l.kill_stage = 0;
  l.typed.clear();
  if (l.more) {
    l.more = false;
    engine.hold_output(line, false);
  }
  engine.user(line).u_stat = 0;
  if (!l.door_done && !engine.post_gone(line)) logmsg(line, "no free block for the hang-up message");
}

// One byte typed by the caller on `line`.
void type_byte(int line, unsigned char c) {
  LineState& l = lines[line];
  if (l.hung || !l.used) return;
  if (l.more) {  // the key answers the "more" prompt
    l.more = false;
    show(line, "\r" + std::string(sizeof kMorePrompt - 1, ' ') + "\r");
    engine.hold_output(line, false);
    l.last_typed_cr = c == '\r';
    return;
  }
  const bool after_cr = l.last_typed_cr;
  l.last_typed_cr = c == '\r';
  if (c == '\r' || c == '\n') {
    if (c == '\n' && after_cr) return;
    if (l.echo != 0) show(line, newline(line));
    if (!engine.post_input(line, l.typed)) logmsg(line, "no free block for the caller's input");
    l.typed.clear();
    return;
  }
  if (c == 0x08 || c == 0x7f) {
    if (!l.typed.empty()) {
      l.typed.pop_back();
      if (l.echo != 0) show(line, "\b \b");
    }
    return;
  }
  if (l.typed.size() >= kTypedMax) return;
  l.typed.push_back(static_cast<char>(c));
  if (l.echo == 1) show(line, std::string(1, static_cast<char>(c)));
  else if (l.echo == 2) show(line, "*");
}

void on_output(int line, const host::OutputBlock& b) {
  LineState& l = lines[line];
  if (b.code != MSG_OUTPUT) {
    logmsg(line, "block with code %d on the output queue", b.code);
    return;
  }
  std::string text = b.text;
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  if (settings.line[line].cp437) text = host::cp437_to_utf8(text);
  show(line, text);
  if (b.page && !l.hung) {
    l.more = true;
    show(line, kMorePrompt);
    engine.hold_output(line, true);
  }
}

bool line_ok(int line) { return line >= 0 && line < settings.lines && lines[line].used; }

void on_request(const host::Request& r) {
  last_request = clock::now();
  const int line = r.line;
  switch (r.code) {
    case MSG_LOG:
      logmsg(line, "%s", r.text.c_str());
      return;
    case MSG_WAITEMPTY:
      return;  // the engine answers once the line's output is out
    case MSG_LOGOFF:
      logmsg(line, "log-off asked");
      if (line_ok(line)) hang_up(line, "log-off");
      return;
    case MSG_WAKEUP: {
      const int pid = r.flag & 0xffff;
      // 0 and 1 would name a process group or init: never signalled.
      if (pid <= 1) {
        logmsg(line, "wake-up of process %d refused", pid);
      } else if (::kill(pid, SIGUSR1) == 0) {
        logmsg(line, "wake-up: SIGUSR1 to process %d", pid);
      } else {
        logmsg(line, "wake-up of process %d failed: %s", pid, std::strerror(errno));
      }
      return;
    }
    case MSG_ECHO_ON:
    case MSG_ECHO_OFF:
    case MSG_ECHO_MODE2:
      if (line_ok(line)) {
        lines[line].echo = r.code == MSG_ECHO_ON ? 1 : r.code == MSG_ECHO_OFF ? 0 : 2;
        logmsg(line, "echo %s", r.code == MSG_ECHO_ON ? "on" : r.code == MSG_ECHO_OFF ? "off" : "stars");
      } else {
        logmsg(line, "echo request %d for a line without a door", r.code);
      }
      return;
    case MSG_CLEARINPUT:
      if (line_ok(line)) lines[line].typed.clear();
      logmsg(line, "pending input thrown away");
      return;
    default:
      logmsg(line, "request %d (length %d, flag %d)%s%s", r.code, r.length, r.flag, r.text.empty() ? "" : ": ",
             r.text.c_str());
  }
}

void on_door_exit(pid_t pid, int status) {
  for (int i = 0; i < settings.lines; ++i) {
    LineState& l = lines[i];
    if (l.door != pid) continue;
    l.door_done = true;
    l.status = status;
    logmsg(i, "door %d ended, status %d", static_cast<int>(pid), status);
    // The line is free again: no caller, no door owns it.
    engine.user(i).u_stat = 0;
    std::memset(engine.user(i).doors_id, 0, sizeof engine.user(i).doors_id);
    if (l.more) {
      l.more = false;
      engine.hold_output(i, false);
    }
  }
}

void log_door_streams() {
  for (int i = 0; i < settings.lines; ++i) {
    const LineState& l = lines[i];
    if (!l.used) continue;
    for (const std::string& s : {engine.door_stdout(l.door), engine.door_stderr(l.door)}) {
      std::istringstream in(s);
      std::string text;
      while (std::getline(in, text)) logmsg(i, "door wrote: %s", text.c_str());
    }
  }
}

// Hang-up follow-up: SIGHUP, then SIGKILL, for a door that does not end.
void chase_hung_doors() {
  for (int i = 0; i < settings.lines; ++i) {
    LineState& l = lines[i];
    if (!l.hung || l.door_done) continue;
    const int ms = elapsed_ms(l.hung_at);
    if (l.kill_stage == 0 && ms >= settings.grace_ms) {
      logmsg(i, "door %d still running after the hang-up: SIGHUP", static_cast<int>(l.door));
      engine.signal_door(l.door, SIGHUP);
      l.kill_stage = 1;
    } else if (l.kill_stage == 1 && ms >= settings.grace_ms + kKillGraceMs) {
      logmsg(i, "door %d still running: SIGKILL", static_cast<int>(l.door));
      engine.signal_door(l.door, SIGKILL);
      l.kill_stage = 2;
    }
  }
}

void fail(int line, const std::string& what) {
  LineState& l = lines[line];
  failures.push_back("line " + std::to_string(line) + ": " + what);
  logmsg(line, "script failed: %s", what.c_str());
  l.script_done = true;
  l.done_at = clock::now();
  hang_up(line, "script failed");
}

// Runs the line's script as far as it can go now.
void advance(int line) {
  LineState& l = lines[line];
  while (!l.script_done) {
    if (l.step >= l.steps.size()) {
      l.script_done = true;
      l.done_at = clock::now();
      return;
    }
    const Step& st = l.steps[l.step];
    if (!l.step_begun) {
      l.step_begun = true;
      l.step_at = clock::now();
    }
    const int ms = elapsed_ms(l.step_at);
    bool next = true;
    switch (st.op) {
      case Op::expect: {
        const size_t at = l.plain.find(st.text, l.cursor);
        if (at != std::string::npos) {
          l.cursor = at + st.text.size();
        } else if (ms >= st.ms) {
          fail(line, st.source + ": did not see \"" + st.text + "\" within " + std::to_string(st.ms / 1000) + " s");
          return;
        } else {
          next = false;
        }
        break;
      }
      case Op::send:
        for (const char c : st.text) type_byte(line, static_cast<unsigned char>(c));
        type_byte(line, '\r');
        break;
      case Op::key:
        for (const char c : st.text) {
          if (static_cast<unsigned char>(c) == kHangupKey) hang_up(line, "Ctrl-]");
          else type_byte(line, static_cast<unsigned char>(c));
        }
        break;
      case Op::pause:
        next = ms >= st.ms;
        break;
      case Op::hangup:
        hang_up(line, "the caller hung up");
        break;
      case Op::exit:
        if (!l.door_done) {
          if (ms >= st.ms) {
            fail(line, st.source + ": the door did not end within " + std::to_string(st.ms / 1000) + " s");
            return;
          }
          next = false;
        }
        break;
    }
    if (!next) return;
    ++l.step;
    l.step_begun = false;
  }
}

bool write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out << data;
  return static_cast<bool>(out);
}

void usage() {
  std::fprintf(stderr,
               "usage: zv-host [-c CONFIG] [-s SCRIPT] [-o DIR] [-l LOG] [-t SECONDS] [--reuse] [--private-ipc]\n"
               "               [--] DOOR [ARG...]\n");
}

bool segment_exists() {
  return ::shmget(SEGMENT_KEY, 0, 0) != -1 || ::semget(SEMSET_KEY, 0, 0) != -1;
}

int run(int argc, char** argv) {
  t0 = clock::now();
  last_request = t0;
  std::string config_path, script_path, out_dir = ".", log_path;
  bool reuse = false, private_ipc = false;
  long limit_s = 120;
  std::vector<std::string> door;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--") {
      ++i;
      break;
    } else if (a == "-c") {
      if (!value(config_path)) return usage(), 2;
    } else if (a == "-s") {
      if (!value(script_path)) return usage(), 2;
    } else if (a == "-o") {
      if (!value(out_dir)) return usage(), 2;
    } else if (a == "-l") {
      if (!value(log_path)) return usage(), 2;
    } else if (a == "-t") {
      if (!value(v) || !to_int(v, 1, 86400, limit_s)) return usage(), 2;
    } else if (a == "--reuse") {
      reuse = true;
    } else if (a == "--private-ipc") {
      private_ipc = true;
    } else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      usage();
      return 2;
    } else {
      break;
    }
  }
  for (; i < argc; ++i) door.emplace_back(argv[i]);

  std::string err;
  if (!config_path.empty() && !load_config(config_path, settings, err)) {
    std::fprintf(stderr, "zv-host: %s\n", err.c_str());
    return 2;
  }
  if (door.empty()) door = settings.door;
  if (door.empty()) {
    std::fprintf(stderr, "zv-host: no door to run (give one, or door = in the config)\n");
    return 2;
  }
  std::map<int, std::vector<Step>> script;
  interactive = script_path.empty();
  if (!interactive && !load_script(script_path, script, err)) {
    std::fprintf(stderr, "zv-host: %s\n", err.c_str());
    return 2;
  }
  for (const auto& [line, steps] : script) {
    if (line >= settings.lines) {
      std::fprintf(stderr, "zv-host: the script names line %d, but there are %d lines\n", line, settings.lines);
      return 2;
    }
  }
  if (interactive && !::isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "zv-host: interactive mode needs a terminal on standard input (or give -s SCRIPT)\n");
    return 2;
  }
  if (!log_path.empty() || interactive) {
    const std::string p = log_path.empty() ? "zv-host.log" : log_path;
    logf = std::fopen(p.c_str(), "w");
    if (logf == nullptr) {
      std::fprintf(stderr, "zv-host: cannot write log %s: %s\n", p.c_str(), std::strerror(errno));
      return 2;
    }
  }

  if (!private_ipc && segment_exists() && !reuse) {
    std::fprintf(stderr,
                 "zv-host: a host segment (key %d) or semaphore set (key %d) exists already;"
                 " another host may be running. Use --reuse to take it over.\n",
                 SEGMENT_KEY, SEMSET_KEY);
    return 2;
  }

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::signal(SIGHUP, on_signal);
  std::signal(SIGPIPE, SIG_IGN);

  host::Config cfg;
  cfg.lines = settings.lines;
  for (int n = 0; n < settings.lines; ++n) {
    const LineSettings& ls = settings.line[n];
    host::LineConfig lc;
    lc.ansi = ls.ansi;
    lc.pagelen = ls.pagelen;
    lc.linlen = ls.width;
    lc.linfed = ls.linefeeds;
    lc.name = ls.name;
    lc.caller = false;  // set when a caller comes on
    cfg.line.push_back(lc);
  }
  cfg.private_ipc = private_ipc;
  err = engine.start(cfg);
  if (!err.empty() && private_ipc) {
    // No private IPC namespace here: go on in the shared one, but never
    // over another host's segment.
    std::fprintf(stderr, "zv-host: no private IPC namespace (%s); using the shared one\n", err.c_str());
    if (segment_exists() && !reuse) {
      std::fprintf(stderr, "zv-host: a host segment (key %d) exists already. Use --reuse to take it over.\n",
                   SEGMENT_KEY);
      return 2;
    }
    cfg.private_ipc = false;
    err = engine.start(cfg);
  }
  if (!err.empty()) {
    std::fprintf(stderr, "zv-host: cannot start the host: %s\n", err.c_str());
    return 2;
  }
  engine.on_output = on_output;
  engine.on_request = on_request;
  engine.on_door_exit = on_door_exit;
  logmsg(-1, "%d line%s, door: %s", settings.lines, settings.lines == 1 ? "" : "s", door[0].c_str());

  std::vector<int> callers;
  if (interactive) callers.push_back(0);
  for (const auto& [line, steps] : script) callers.push_back(line);
  host::DoorOptions opt;
  for (const int line : callers) {
    LineState& l = lines[line];
    engine.user(line).u_stat = 1;
    l.used = true;
    l.steps = script.count(line) ? script[line] : std::vector<Step>{};
    l.script_done = interactive;
    l.door = engine.start_door(line, door, opt);
    if (l.door < 0) {
      logmsg(line, "cannot start the door");
      l.door_done = true;
      l.used = false;
      failures.push_back("line " + std::to_string(line) + ": the door did not start");
      continue;
    }
    logmsg(line, "caller %s on %s, door %d", engine.acct(line).acctname, engine.tty_name(line).c_str(),
           static_cast<int>(l.door));
  }

  if (interactive) {
    if (::tcgetattr(STDIN_FILENO, &saved_tty) == 0) {
      termios raw = saved_tty;
      ::cfmakeraw(&raw);
      if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) tty_raw = true;
      std::atexit(restore_terminal);
    }
    const char banner[] = "zv-host: this terminal is the caller on line 0; Ctrl-] hangs up.\r\n";
    (void)!::write(STDOUT_FILENO, banner, sizeof banner - 1);
  }

  bool timed_out = false;
  clock::time_point all_done_at{};
  bool all_done = false;
  for (;;) {
    if (stop_signal != 0) {
      logmsg(-1, "signal %d: stopping", static_cast<int>(stop_signal));
      break;
    }
    engine.step(interactive ? 0 : 5);
    if (interactive) {
      pollfd p{STDIN_FILENO, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        unsigned char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n == 0) hang_up(0, "end of input");
        for (ssize_t k = 0; k < n; ++k) {
          if (buf[k] == kHangupKey) hang_up(0, "Ctrl-]");
          else type_byte(0, buf[k]);
        }
      } else if (p.revents & (POLLHUP | POLLERR)) {
        hang_up(0, "terminal closed");
      }
    }
    for (const int line : callers) {
      LineState& l = lines[line];
      advance(line);
      if (!interactive && l.script_done && !l.door_done && !l.hung && elapsed_ms(l.done_at) >= kEndOfScriptGraceMs)
        hang_up(line, "end of script");
    }
    chase_hung_doors();
    bool done = true;
    for (const int line : callers) done = done && lines[line].door_done && lines[line].script_done;
    if (done && !all_done) {
      all_done = true;
      all_done_at = clock::now();
    }
    // Give the door's last requests (and a game server's) time to come in.
    if (all_done && (elapsed_ms(last_request) >= kQuietMs || elapsed_ms(all_done_at) >= kQuietMaxMs)) break;
    if (!timed_out && elapsed_ms(t0) >= limit_s * 1000) {
      timed_out = true;
      failures.push_back("the session did not end within " + std::to_string(limit_s) + " s");
      logmsg(-1, "session time limit: hanging up every line");
      for (const int line : callers) {
        lines[line].script_done = true;
        hang_up(line, "session time limit");
      }
    }
  }
  restore_terminal();
  log_door_streams();
  if (!interactive) {
    for (const int line : callers) {
      const std::string base = out_dir + "/line" + std::to_string(line);
      if (!write_file(base + ".txt", lines[line].plain) || !write_file(base + ".ans", lines[line].raw))
        logmsg(line, "cannot write the transcript %s.txt", base.c_str());
    }
  }
  for (const std::string& f : failures) logmsg(-1, "FAILED %s", f.c_str());
  logmsg(-1, "%s", failures.empty() ? "session over: every expectation met" : "session over with failures");
  engine.stop();
  if (logf != stderr) std::fclose(logf);
  if (interactive) std::printf("\r\nzv-host: session over.\r\n");
  return failures.empty() && stop_signal == 0 ? 0 : 1;
}

}  // namespace
}  // namespace zv::refhost

int main(int argc, char** argv) { return zv::refhost::run(argc, argv); }
