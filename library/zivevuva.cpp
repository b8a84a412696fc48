// zivevuva: globals, attaching, waits, requests, line output and input,
// door processes, utilities and email.
#include "zivevuva.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <strings.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "abuf.h"
#include "fileio.h"
#include "semutils.h"
#include "wrap.h"

namespace zv {

// ==== Process-wide globals and task end (GLOBALS) ====

shared_mem_structure* shm = nullptr;
int semid = -1;
int numlines = 0;
int who = 0;
acct_rec* acnt = nullptr;
user_rec* user = nullptr;
user_rec* myuser = nullptr;
acct_rec* myacct = nullptr;
cfg_rec* cfg = nullptr;
int inq = 0;
int outq = 0;
int zivevuva_debug = 0;
char wrkbuf[WRKBUF_SIZE];
void (*end_task_hook)() = nullptr;

void end_task() {
  // Clear the hook before calling it, so a hook that ends the task itself
  // cannot loop.
  if (void (*hook)() = end_task_hook) {
    end_task_hook = nullptr;
    hook();
  }
  std::exit(0);
}

// ==== end GLOBALS ====

// ==== Pauses and queue waits (WAITS) ====

int relinq() { return ::usleep(RELINQ_USEC); }

int delay(int seconds) {
  if (seconds <= 0) return 0;
  return static_cast<int>(::sleep(static_cast<unsigned>(seconds)));
}

mdbrec* waitformsg(int q) {
  if (!valid_queue(q) || shm == nullptr) return nullptr;
  for (;;) {
    if (mdbrec* m = dequeue_mdb(q)) return m;
    relinq();
  }
}

// ==== end WAITS ====

// ==== Host requests (REQUESTS) ====

namespace {

// The 16-bit fields of a block keep the low 16 bits of the value.
constexpr std::int16_t low16(long v) noexcept { return static_cast<std::int16_t>(v & 0xffff); }

// The common pattern: a block with `code` and `line` on the request queue.
int simple_request(int code, int line) {
  mdbrec* m = a_mdb();
  if (m == nullptr) return 0;
  m->command = low16(code);
  m->line = low16(line);
  return message_out(REQUEST_QUEUE, m);
}

int request_with_length(int code, int line, long length) {
  mdbrec* m = a_mdb();
  if (m == nullptr) return 0;
  m->command = low16(code);
  m->line = low16(line);
  m->length = low16(length);
  return message_out(REQUEST_QUEUE, m);
}

int echo_code(int mode) {
  if (mode == 0) return MSG_ECHO_OFF;
  if (mode == 2) return MSG_ECHO_MODE2;
  return MSG_ECHO_ON;
}

// Length of a text as an int (texts longer than the pools can hold are cut
// by copy_to_buffers anyway).
int text_length(const char* text) {
  if (text == nullptr) return 0;
  const std::size_t n = std::strlen(text);
  constexpr std::size_t cap = static_cast<std::size_t>(NUM_BUFFERS) * BUFFER_TEXT;
  return static_cast<int>(n < cap ? n : cap);
}

}  // namespace

int bbs_logoff(int line) { return simple_request(MSG_LOGOFF, line); }
int settextmode(int line) { return simple_request(MSG_TEXTMODE, line); }
int setbinarymode(int line) { return simple_request(MSG_BINARYMODE, line); }
int clear_input_buffer(int line) { return simple_request(MSG_CLEARINPUT, line); }
int pid_monitor(int line) { return request_with_length(MSG_PIDMONITOR, line, ::getpid()); }
int pid_monitor_off(int line) { return request_with_length(MSG_PIDMONITOR, line, 0); }
int setecho(int mode) { return simple_request(echo_code(mode), who); }
int setnecho(int line, int mode) { return simple_request(echo_code(mode), line); }
int bbs_save_acct() { return simple_request(MSG_SAVEACCT, who); }

int bbs_sendmsg(int line, int value) {
  mdbrec* m = a_mdb();
  if (m == nullptr) return 0;
  m->command = low16(MSG_SENDMSG);
  m->line = low16(line);
  m->length = low16(value);
  message_out(REQUEST_QUEUE, m);
  relinq();
  return 0;
}

int send_bbslog(const char* text) {
  mdbrec* m = a_mdb();
  if (m == nullptr) return 0;
  const int len = text_length(text);
  copy_to_buffers(text, len, m);
  m->line = low16(who);
  m->command = low16(MSG_LOG);
  message_out(REQUEST_QUEUE, m);
  return len;
}

int send_lprintf(const char* format, ...) {
  mdbrec* m = a_mdb();
  if (m == nullptr) return 0;
  int len = 0;
  if (format != nullptr) {
    std::va_list ap;
    va_start(ap, format);
    len = std::vsnprintf(wrkbuf, WRKBUF_SIZE, format, ap);
    va_end(ap);
  }
  if (len < 0) len = 0;                                // formatting failed: send empty
  if (len > WRKBUF_TEXT_MAX) len = WRKBUF_TEXT_MAX;   // vsnprintf cut it to fit
  copy_to_buffers(wrkbuf, len, m);
  m->line = low16(who);
  m->command = low16(MSG_LOG);
  return message_out(REQUEST_QUEUE, m);
}

int send_message(const char* text, int q, int code) {
  if (!valid_queue(q)) return -1;
  mdbrec* m = a_mdb();
  if (m == nullptr) return 0;
  const int len = text_length(text);
  if (text != nullptr)
    copy_to_buffers(text, len + 1, m);
  else
    copy_to_buffers("", 1, m);
  m->line = low16(who);
  m->command = low16(code);
  message_out(q, m);
  return len;
}

int sendtoq(const char* text, int q) { return send_message(text, q, MSG_OUTPUT); }

void waitforempty(int line) {
  if (!valid_queue(inq)) return;
  mdbrec* m = a_mdb();
  if (m == nullptr) return;
  m->line = low16(line);
  m->command = low16(MSG_WAITEMPTY);
  message_out(REQUEST_QUEUE, m);
  relinq();
  for (;;) {
    mdbrec* in = waitformsg(inq);
    if (in == nullptr) return;
    const int code = in->command;
    release_mdb(in);
    if (code == MSG_GONE) end_task();
    if (code == MSG_DRAINED) return;
  }
}

int clear_output_buffer(int q) {
  if (!valid_queue(q)) return -1;
  clean_queue(q);
  return relinq();
}

// ==== end REQUESTS ====

// ==== Attaching to the host (ATTACH) ====

namespace {

// True when the 16-byte terminal field of a line holds exactly `name`: the
// same bytes, then a NUL or the end of the field. A name that cannot fit
// the field never matches, and the field is never read past its end.
bool names_terminal(const char (&field)[sizeof(line_def_struct::ttyname)], const char* name) {
  const std::size_t n = std::strlen(name);
  if (n > sizeof field) return false;
  if (std::memcmp(field, name, n) != 0) return false;
  return n == sizeof field || field[n] == '\0';
}

}  // namespace

int check_active() { return sem_getval(semid, SEM_RUNNING) == 0 ? 1 : 0; }

int is_active() {
  semid = sem_open(SEMSET_KEY, SEMSET_COUNT);
  if (semid == -1) return 0;
  return check_active();
}

void not_installed(const char* text) {
  std::printf(NOT_RUNNING_FORMAT, text != nullptr ? text : "");
  end_task();
}

void common_startup() {
  if (is_active() == 0) not_installed(NOT_RUNNING_SEMAPHORE);
  const int id = ::shmget(static_cast<key_t>(SEGMENT_KEY), SEGMENT_SIZE, SHMGET_FLAGS);
  if (id == -1) not_installed(NOT_RUNNING_SHMGET);
  // Exactly SEGMENT_ADDR (no SHM_RND): every link in the segment is an
  // absolute address, so a door that cannot map it there must not go on.
  void* p = ::shmat(id, reinterpret_cast<void*>(SEGMENT_ADDR), 0);
  if (p == reinterpret_cast<void*>(-1)) not_installed(NOT_RUNNING_SHMAT);
  shm = static_cast<shared_mem_structure*>(p);
  // A process that may not raise its priority goes on at the one it has.
  [[maybe_unused]] const int ignored = ::nice(ATTACH_PRIORITY);
}

int init() {
  common_startup();
  const char* tty = ::ttyname(STDIN_FILENO);
  numlines = shm->nchans;
  // The per-line arrays have MAX_LINES entries whatever nchans claims.
  const int searched = numlines < MAX_LINES ? numlines : MAX_LINES;
  who = 0;
  while (who < searched) {
    const line_def_struct& l = shm->linctrl[who];
    if (l.active != 0 && tty != nullptr && names_terminal(l.ttyname, tty)) break;
    ++who;
  }
  if (who >= searched) {
    who = numlines;  // the log line goes out before any line is known
    send_bbslog(TERMINAL_NOT_FOUND);
    end_task();
  }
  acnt = &shm->acct[0];
  user = &shm->user[0];
  cfg = &shm->cfg;
  myuser = &shm->user[who];
  myacct = &shm->acct[who];
  inq = myuser->door_inq;
  outq = myuser->door_outq;
  if (zivevuva_debug != 0) qprintf(STARTUP_FORMAT, mod_ver);
  return who;
}

int util_init() {
  common_startup();
  who = 0;
  inq = shm->user[0].door_inq;
  outq = shm->user[0].door_outq;
  acnt = &shm->acct[0];
  user = &shm->user[0];
  cfg = &shm->cfg;
  myuser = &shm->user[0];
  myacct = &shm->acct[0];
  numlines = shm->nchans;
  return 0;
}

int getversion(char* dst) {
  if (dst == nullptr || shm == nullptr) return 0;
  const std::size_t n = ::strnlen(shm->version, sizeof shm->version - 1);
  std::memcpy(dst, shm->version, n);
  dst[n] = '\0';
  return static_cast<int>(n);
}

// ==== end ATTACH ====

// ==== Line output (OUTPUT) ====

namespace {

// Staging buffer of transmit: pieces are cut straight into it behind the
// bytes already staged (at most OUTPUT_BLOCK_MAX), one piece takes at most
// OUTPUT_PIECE_MAX + wrap_dst_extra bytes.
char stagebuf[STAGEBUF_SIZE];
static_assert(OUTPUT_BLOCK_MAX + OUTPUT_PIECE_MAX + wrap_dst_extra <= STAGEBUF_SIZE,
              "a full stage and one more piece fit the staging buffer");
static_assert(OUTPUT_BLOCK_MAX <= 8 * BUFFER_TEXT, "an output block fits eight buffers");

// A width the wrapper is given: the stored one when it lies in 35..128.
constexpr bool usable_linlen(std::uint32_t w) noexcept { return w >= LINLEN_MIN && w <= LINLEN_MAX; }

// Formats into wrkbuf, cut to fit; returns the length up to the first NUL.
int format_into_wrkbuf(const char* format, std::va_list ap) {
  wrkbuf[0] = '\0';
  if (format == nullptr) return 0;
  if (std::vsnprintf(wrkbuf, WRKBUF_SIZE, format, ap) < 0) wrkbuf[0] = '\0';
  wrkbuf[WRKBUF_SIZE - 1] = '\0';
  return static_cast<int>(std::strlen(wrkbuf));
}

}  // namespace

int btuxct(int queue, const char* data, int length) {
  if (!valid_queue(queue)) return -1;
  const bool page_end = length >= PAGE_MARK;
  int bytes = length % PAGE_MARK;
  if (bytes < 0) bytes = 0;
  if (bytes > OUTPUT_BLOCK_MAX) bytes = OUTPUT_BLOCK_MAX;
  mdbrec* m = a_mdb();
  if (m == nullptr) return 0;  // the text is lost
  if (data != nullptr) copy_to_buffers(data, bytes, m);
  m->command = static_cast<std::int16_t>(MSG_OUTPUT);
  m->line = static_cast<std::int16_t>(queue);
  m->flag = page_end ? 1 : 0;
  const int r = queue_mdb(queue, m);
  if (r == -1) release_mdb(m);  // not queued: give it back instead of losing it
  return r;
}

void transmit(int line, const char* text) {
  if (shm == nullptr || text == nullptr) return;
  if (line < 0 || line >= shm->nchans || line >= MAX_LINES) return;
  user_rec& u = shm->user[line];
  acct_rec& a = shm->acct[line];
  if (u.u_stat == 0) return;
  if (!usable_linlen(a.linlen)) a.linlen = LINLEN_DEFAULT;
  const int after_cr = a.linfed == 'y' ? '\n' : 0;

  const char* p = text;
  int staged = 0;
  int page_count = 0;
  while (*p != '\0') {
    const char* rest = p;
    int n;
    if (p[0] == '!' && p[1] == '|') {
      page_count = 0;
      n = wrap(p, stagebuf + staged, RIP_WIDTH, &rest, 1, after_cr, OUTPUT_PIECE_MAX, 1);
    } else {
      // Width and ANSI are read afresh for every piece: the host may change
      // them while a long text goes out.
      const std::uint32_t w = a.linlen;
      const int width = static_cast<int>(usable_linlen(w) ? w : LINLEN_DEFAULT);
      n = wrap(p, stagebuf + staged, width, &rest, u.u_ansi != 0 ? 1 : 0, after_cr,
               OUTPUT_PIECE_MAX, 1);
    }
    if (rest == p) break;  // the wrapper always consumes; never spin
    p = rest;
    if (n == 0) continue;
    if (staged + n > OUTPUT_BLOCK_MAX) {
      btuxct(line, stagebuf, staged);
      std::memmove(stagebuf, stagebuf + staged, static_cast<std::size_t>(n));
      staged = 0;
    }
    staged += n;
    const int pagelen = u.u_pagelen;
    if (pagelen != 0) {
      ++page_count;
      if (page_count >= pagelen - 1) {
        if (*p == '\0') break;  // the last page goes out unmarked
        btuxct(line, stagebuf, staged + PAGE_MARK);
        staged = 0;
        page_count = 0;
      }
    }
  }
  if (staged > 0) btuxct(line, stagebuf, staged);
}

int qprintf(const char* format, ...) {
  std::va_list ap;
  va_start(ap, format);
  const int len = format_into_wrkbuf(format, ap);
  va_end(ap);
  transmit(who, wrkbuf);
  return len;
}

int qnprintf(int line, const char* format, ...) {
  std::va_list ap;
  va_start(ap, format);
  const int len = format_into_wrkbuf(format, ap);
  va_end(ap);
  transmit(line, wrkbuf);
  return len;
}

void send(const char* text) { transmit(who, text); }

void sendtoline(int line, const char* text) { transmit(line, text); }

void qputs(const char* text) {
  transmit(who, text);
  transmit(who, "\r");
}

void broadcast(const char* text, const int* lines) {
  if (lines == nullptr) return;
  for (int i = 0; i < numlines; ++i) {
    const int l = lines[i];
    if (l < 0 || l >= numlines) return;
    transmit(l, text);
  }
}

void setpagelen(int length) {
  if (myuser != nullptr) myuser->u_pagelen = length;
}

void setnpagelen(int line, int length) {
  if (shm == nullptr || line < 0 || line >= MAX_LINES) return;
  shm->user[line].u_pagelen = length;
}

// ==== end OUTPUT ====

// ==== Line input (INPUT) ====

namespace {

// Copies a MSG_INPUT text into buf (at most size - 1 bytes and a NUL), gives
// the block back and returns the length up to the first NUL.
int take_text(mdbrec* m, char* buf, int size) {
  int len = 0;
  if (buf != nullptr && size >= 1) {
    const int n = copy_from_buffers(buf, size - 1, m);
    buf[n] = '\0';
    len = static_cast<int>(std::strlen(buf));
  }
  release_mdb(m);
  return len;
}

// What one look at an input queue found.
enum class looked { nothing, text, gone, dropped };

// Takes one block off q without waiting. A text is copied into buf; any
// block is given back.
looked look_once(int q, char* buf, int size, int* len) {
  mdbrec* m = recvmsg(q);
  if (m == nullptr) return looked::nothing;
  const int code = m->command;
  if (code == MSG_INPUT) {
    *len = take_text(m, buf, size);
    return looked::text;
  }
  release_mdb(m);
  return code == MSG_GONE ? looked::gone : looked::dropped;
}

// The timed loop of tqgets and tnqgets: MSG_INPUT, MSG_GONE or -1.
int timed_read(int q, char* buf, int size, int seconds, int* len) {
  const std::time_t deadline = std::time(nullptr) + seconds;
  for (;;) {
    switch (look_once(q, buf, size, len)) {
      case looked::text: return MSG_INPUT;
      case looked::gone: return MSG_GONE;
      case looked::dropped: continue;  // look again at once: the queue may hold more
      case looked::nothing: break;
    }
    relinq();
    if (std::time(nullptr) >= deadline) return -1;
  }
}

constexpr int upper(int c) noexcept { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

}  // namespace

int qgets(char* buf, int size) {
  if (shm == nullptr || !valid_queue(inq)) return -1;
  for (;;) {
    mdbrec* m = waitformsg(inq);
    if (m == nullptr) return -1;
    const int code = m->command;
    if (code == MSG_INPUT) return take_text(m, buf, size);
    release_mdb(m);
    if (code == MSG_GONE) end_task();
  }
}

int tqgets(char* buf, int size, int seconds) {
  int len = 0;
  const int r = timed_read(inq, buf, size, seconds, &len);
  if (r == MSG_GONE) end_task();
  return r == MSG_INPUT ? len : -1;
}

int tnqgets(char* buf, int size, int seconds, int queue) {
  if (!valid_queue(queue)) return -1;
  int len = 0;
  return timed_read(queue, buf, size, seconds, &len);
}

int one_key(const char* keys, const char* prompt, const char* dflt) {
  if (shm == nullptr || myuser == nullptr || !valid_queue(inq)) return 0;
  const std::int32_t saved_hotkeys = myuser->hotkeys;
  const char saved_global = myuser->process_global_comands;
  myuser->hotkeys = 1;
  myuser->process_global_comands = 1;
  const char* accepted = keys != nullptr ? keys : "";
  const int fallback = dflt != nullptr ? static_cast<unsigned char>(dflt[0]) : 0;
  qprintf("%s", prompt != nullptr ? prompt : "");
  for (;;) {
    mdbrec* m = waitformsg(inq);
    if (m == nullptr) break;
    const int code = m->command;
    if (code != MSG_INPUT) {
      release_mdb(m);
      if (code == MSG_GONE) end_task();
      continue;
    }
    unsigned char first = 0;
    copy_from_buffers(&first, 1, m);
    release_mdb(m);
    const int key = upper(first != 0 ? first : fallback);
    // The key 0 matches the end of the list: an empty answer with no
    // default is always accepted.
    if (std::strchr(accepted, key) != nullptr) {
      myuser->hotkeys = saved_hotkeys;
      myuser->process_global_comands = saved_global;
      return key;
    }
    qprintf("%s", prompt != nullptr ? prompt : "");
  }
  myuser->hotkeys = saved_hotkeys;
  myuser->process_global_comands = saved_global;
  return 0;
}

// ==== end INPUT ====

// ==== Door processes and signals (PROCESSES) ====

namespace {
constexpr std::size_t DOOR_ID_SIZE = sizeof(user_rec::doors_id);
static_assert(DOOR_ID_SIZE == 21, "doors_id is text[21]");
static_assert(TCB_NAME_MAX + 1 <= static_cast<int>(DOOR_ID_SIZE), "set_tcb_name stays in doors_id");
}  // namespace

void wakeup(int pid) {
  if (pid <= 0) return;
  if (::kill(static_cast<pid_t>(pid), SIGUSR1) == 0 || errno == ESRCH) return;
  if (pid > WAKEUP_PID_MAX || shm == nullptr) return;
  mdbrec* m = a_mdb();
  if (m == nullptr) return;
  m->command = low16(MSG_WAKEUP);
  m->line = low16(who);
  m->flag = low16(pid);
  message_out(REQUEST_QUEUE, m);
}

int check_tcb_names(const char* name) {
  if (name == nullptr || user == nullptr) return 0;
  const int lines = numlines < MAX_LINES ? numlines : MAX_LINES;
  for (int line = 0; line < lines; ++line) {
    if (line == who) continue;
    // The field is read as at most 21 bytes even when it lacks its NUL.
    const char* id = user[line].doors_id;
    const std::size_t n = ::strnlen(id, DOOR_ID_SIZE);
    if (std::strlen(name) == n && ::strncasecmp(id, name, n) == 0) return 1;
  }
  return 0;
}

void set_tcb_name(const char* name) {
  if (myuser == nullptr) return;
  char* id = myuser->doors_id;
  const std::size_t n = name == nullptr ? 0 : ::strnlen(name, TCB_NAME_MAX);
  std::memcpy(id, name == nullptr ? "" : name, n);
  std::memset(id + n, 0, static_cast<std::size_t>(TCB_NAME_MAX) + 1 - n);
}

// ==== end PROCESSES ====

// ==== INI settings and screen files (INI) ====

char datapath[DATAPATH_SIZE] = "./";
ini_file ini{};

namespace {

// A file opened for reading, closed on scope exit.
class ReadFile {
 public:
  // A null name opens nothing.
  explicit ReadFile(const char* name) : f_(name == nullptr ? nullptr : std::fopen(name, "r")) {}
  ~ReadFile() {
    if (f_ != nullptr) std::fclose(f_);
  }
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;
  std::FILE* get() const { return f_; }

 private:
  std::FILE* f_;
};

const char* text_or_empty(const char* s) { return s == nullptr ? "" : s; }

// Joins a and b (and c) into dst of `size` bytes. False, with dst empty,
// when the whole would not fit.
bool join(char* dst, std::size_t size, const char* a, const char* b, const char* c = "") {
  const std::size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c);
  if (la + lb + lc >= size) {
    dst[0] = '\0';
    return false;
  }
  std::memcpy(dst, a, la);
  std::memcpy(dst + la, b, lb);
  std::memcpy(dst + la + lb, c, lc + 1);
  return true;
}

}  // namespace

const char* get_ini_var(char* targ, const char* what, const char* app_name) {
  static constexpr char empty[] = "";
  if (targ == nullptr) return empty;
  targ[0] = '\0';
  what = text_or_empty(what);
  app_name = text_or_empty(app_name);

  char infilename[INI_NAME_SIZE];
  if (!join(infilename, sizeof infilename, datapath, app_name, ".ini")) {
    // Too long to be the file meant: a cut name is not opened.
    qnprintf(who, "Error opening INI file.  Attempted to open [%s%s.ini].\r", datapath, app_name);
    return empty;
  }
  ReadFile f(infilename);
  if (f.get() == nullptr) {
    qnprintf(who, INI_OPEN_ERROR, infilename);
    return empty;
  }
  const std::size_t key = std::strlen(what);
  char line[INI_LINE_SIZE];
  while (std::fgets(line, sizeof line, f.get()) != nullptr) {
    if (::strncasecmp(line, what, key) != 0) continue;
    const char* eq = std::strchr(line, '=');
    if (eq == nullptr) continue;
    std::size_t n = std::strlen(eq + 1);
    if (n > 0 && eq[n] == '\n') --n;
    if (n > 0 && eq[n] == '\r') --n;  // a file with CR LF line ends
    std::memcpy(targ, eq + 1, n);
    targ[n] = '\0';
    return targ;
  }
  return empty;
}

int init_ini_file(const char* app_name, ini_file* new_ini) {
  if (new_ini == nullptr) return 0;
  const char* app = text_or_empty(app_name);
  const std::size_t la = ::strnlen(app, INI_APP_MAX);
  std::memcpy(new_ini->app, app, la);
  new_ini->app[la] = '\0';

  get_ini_var(new_ini->path, "PATH", new_ini->app);
  std::size_t lp = std::strlen(new_ini->path);
  if (lp == 0) {
    qnprintf(who, "%s", INI_NO_PATH);
    return 0;
  }
  // A value is at most INI_PIECE_MAX - 5 characters ("PATH=" comes first),
  // so the "/" always fits.
  if (new_ini->path[lp - 1] != '/' && lp + 1 < sizeof new_ini->path) {
    new_ini->path[lp++] = '/';
    new_ini->path[lp] = '\0';
  }
  join(new_ini->pathApp, sizeof new_ini->pathApp, new_ini->path, new_ini->app);
  return 1;
}

void disp_screen(const char* path, const char* filename) {
  path = text_or_empty(path);
  filename = text_or_empty(filename);
  char string[SCREEN_BUF_SIZE];
  const bool fits = join(string, sizeof string, path, filename);
  ReadFile f(fits ? string : nullptr);
  if (!fits || f.get() == nullptr) {
    send(SCREEN_NOT_FOUND);
    send_lprintf("Error in Tavrine.  Cannot find <%s%s>", path, filename);
    return;
  }
  while (std::fgets(string, SCREEN_PIECE_MAX + 1, f.get()) != nullptr) {
    for (char* p = string; *p != '\0'; ++p)
      if (*p == '\n') *p = '\r';
    send(string);
  }
}

// ==== end INI ====

// ==== Text, time, user-reference and work-area utilities (UTILITIES) ====

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr char to_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char to_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

const char* skip_space(const char* p) noexcept {
  while (is_space(*p)) ++p;
  return p;
}

// Length of a text held in a fixed field that may lack its NUL.
template <std::size_t N>
std::size_t field_length(const char (&field)[N]) noexcept {
  return ::strnlen(field, N);
}

}  // namespace

int strlwr(char* text) {
  if (text != nullptr)
    for (char* p = text; *p != '\0'; ++p) *p = to_lower(*p);
  return 0;
}

int strupr(char* text) {
  if (text != nullptr)
    for (char* p = text; *p != '\0'; ++p) *p = to_upper(*p);
  return 0;
}

long strtotim(const char* text) {
  if (text == nullptr) return -1;
  int month = 0, day = 0, year = 0, hour = 0, minute = 0;
  const int got = std::sscanf(text, "%d/%d/%d %d:%d", &month, &day, &year, &hour, &minute);
  if (got != 3 && got != 5) return -1;
  if (got == 3) hour = minute = 0;
  if (month == INT_MIN) return -1;  // month - 1 has no int: no such date
  std::tm t{};
  t.tm_isdst = 0;  // taken as standard time
  t.tm_year = year > 1900 ? year - 1900 : year;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = 0;
  return static_cast<long>(std::mktime(&t));
}

int finduser(const char* text, const char** rest) {
  if (text == nullptr) return -1;
  if (is_digit(*text)) {
    // A line number: any run of digits, read without overflow.
    const char* p = text;
    long value = 0;
    for (; is_digit(*p); ++p)
      if (value <= MAX_LINES) value = value * 10 + (*p - '0');
    p = skip_space(p);
    if (rest != nullptr) *rest = p;
    return value < MAX_LINES ? static_cast<int>(value) : -1;
  }
  if (user == nullptr || acnt == nullptr) return -1;
  int best = -1;
  std::size_t best_len = 0;
  for (int line = 0; line < MAX_LINES; ++line) {
    if (user[line].u_stat == 0) continue;
    const char* name = acnt[line].acctname;
    const std::size_t len = field_length(acnt[line].acctname);
    if (len == 0 || len <= best_len) continue;  // ties keep the lower line
    if (::strncasecmp(text, name, len) != 0) continue;
    // strncasecmp stopped at no NUL of text within len, so text[len] exists.
    const char after = text[len];
    if (is_alpha(after) || is_digit(after)) continue;
    best = line;
    best_len = len;
  }
  if (best < 0) return -1;
  if (rest != nullptr) *rest = skip_space(text + best_len);
  return best;
}

int finduser(char* text, char** rest) {
  const char* r = nullptr;
  const int line = finduser(static_cast<const char*>(text), rest != nullptr ? &r : nullptr);
  if (rest != nullptr && r != nullptr) *rest = text + (r - text);
  return line;
}

int work_area_name(char* out, std::size_t size) {
  if (out == nullptr || size == 0 || cfg == nullptr) return 0;
  const int path_len = static_cast<int>(field_length(cfg->work_file_path));
  const int n = std::snprintf(out, size, "%.*snode%d", path_len, cfg->work_file_path, who);
  return (n >= 0 && static_cast<std::size_t>(n) < size) ? 1 : 0;
}

int create_work_area() {
  char name[WORK_AREA_NAME_SIZE];
  if (!work_area_name(name, sizeof name)) return -1;
  return ::mkdir(name, 0777) == 0 ? 0 : -1;
}

int remove_work_area() {
  char name[WORK_AREA_NAME_SIZE];
  if (!work_area_name(name, sizeof name)) return -1;
  return ::rmdir(name) == 0 ? 0 : -1;
}

void clear_work_area() {
  char name[WORK_AREA_NAME_SIZE];
  if (!work_area_name(name, sizeof name)) return;
  DIR* dir = ::opendir(name);
  if (dir == nullptr) return;
  const int dfd = ::dirfd(dir);
  while (const dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    // Relative to the work area itself, so the current directory plays no
    // part; a subdirectory refuses plain unlink and stays.
    ::unlinkat(dfd, e->d_name, 0);
  }
  ::closedir(dir);
  char home[sizeof cfg->bbs_path + 1];
  const std::size_t len = field_length(cfg->bbs_path);
  std::memcpy(home, cfg->bbs_path, len);
  home[len] = '\0';
  if (::chdir(home) != 0) {
    // Nothing to report: the door stays where it is.
  }
}

int change_to_work_area() {
  char name[WORK_AREA_NAME_SIZE];
  if (!work_area_name(name, sizeof name)) return 0;
  return ::chdir(name) == 0 ? 1 : 0;
}

// ==== end UTILITIES ====

// ==== Sending email (EMAIL) ====

namespace {

// Writes all `n` bytes at the descriptor's place (an append on an "ab"
// stream), going on after short writes and signals. Returns false on error.
bool write_all(int fd, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Size of an open file, or -1.
long long open_file_size(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

int send_email(email_record* record, char* text) {
  if (record == nullptr || text == nullptr) return 0;
  for (char* p = text; *p != '\0'; ++p)
    if (*p == '\n') *p = '\r';

  char idx_name[DATA_NAME_SIZE], dat_name[DATA_NAME_SIZE];
  if (!data_file_name(idx_name, sizeof idx_name, "email.idx") ||
      !data_file_name(dat_name, sizeof dat_name, "email.dat"))
    return 0;

  int idx_fd = -1, dat_fd = -1;
  std::FILE* idx = f_open(idx_name, "ab", 1, &idx_fd);
  if (idx == nullptr) return 0;
  std::FILE* dat = f_open(dat_name, "ab", 1, &dat_fd);
  if (dat == nullptr) {
    f_close(idx, idx_fd);
    return 0;
  }

  // Both locks held: the ends of the files are where this letter goes. The
  // appends go straight to the descriptors, so nothing lingers in a stream
  // buffer to reach the file after a cut-back or after the locks are gone.
  const long long idx_size = open_file_size(idx_fd);
  const long long dat_size = open_file_size(dat_fd);
  const std::size_t len = std::strlen(text);
  bool ok = idx_size >= 0 && dat_size >= 0 &&
            idx_size <= INT32_MAX - static_cast<long long>(sizeof(email_record)) &&
            static_cast<long long>(len) <= INT32_MAX - dat_size;
  if (ok) {
    record->location = static_cast<std::int32_t>(idx_size);
    record->offset = static_cast<std::int32_t>(dat_size);
    record->length = static_cast<std::int32_t>(len);
    record->timesent = static_cast<std::int32_t>(std::time(nullptr));
    unsigned char raw[sizeof(email_record)];
    std::memcpy(raw, record, sizeof raw);
    raw[EMAIL_ALIGN_BYTE] = 0;
    ok = write_all(idx_fd, raw, sizeof raw) && write_all(dat_fd, text, len);
    if (!ok) {
      // Keep the two files in step: both go back to where they were.
      const int a = ::ftruncate(idx_fd, static_cast<off_t>(idx_size));
      const int b = ::ftruncate(dat_fd, static_cast<off_t>(dat_size));
      static_cast<void>(a);
      static_cast<void>(b);
    }
  }
  f_close(idx, idx_fd);
  f_close(dat, dat_fd);
  return ok ? 1 : 0;
}

// ==== end EMAIL ====

}  // namespace zv
