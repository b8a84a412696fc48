// zivevuva: globals, attaching, waits, requests, line output and input,
// door processes, utilities and email.
#include "zivevuva.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "abuf.h"
#include "fileio.h"

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

// ==== end PROCESSES ====

// ==== INI settings and screen files (INI) ====

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
