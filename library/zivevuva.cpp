// zivevuva: globals, attaching, waits, requests, line output and input,
// door processes, utilities and email.
#include "zivevuva.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "abuf.h"

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

// ==== end ATTACH ====

// ==== Line output (OUTPUT) ====

// ==== end OUTPUT ====

// ==== Line input (INPUT) ====

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

// ==== end INI ====

// ==== Text, time, user-reference and work-area utilities (UTILITIES) ====

// ==== end UTILITIES ====

// ==== Sending email (EMAIL) ====

// ==== end EMAIL ====

}  // namespace zv
