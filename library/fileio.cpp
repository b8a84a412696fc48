// fileio: the host's account file users.dat (record layout at the top of
// fileio.h), and the locked opening and closing shared with the email store.
#include "fileio.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zivevuva.h"

namespace zv {

int f_open_lock_tries = F_OPEN_LOCK_TRIES;
unsigned f_open_lock_pause_usec = F_OPEN_LOCK_PAUSE_USEC;

namespace {

constexpr std::size_t SCAN_BUFFER = 16 * ACCT_REC_SIZE;  // stream buffer of a whole-file scan

void pause_usec(unsigned usec) {
  timespec ts{static_cast<time_t>(usec / 1000000u), static_cast<long>(usec % 1000000u) * 1000L};
  ::nanosleep(&ts, nullptr);  // a signal may cut it short; the caller retries anyway
}

// Takes the exclusive lock on fd: flock waits while another process holds a
// lock; when flock itself fails it is asked again after a pause, within the
// bound. Returns true when the lock is held.
bool lock_exclusive(int fd) {
  const int tries = f_open_lock_tries < 1 ? 1 : f_open_lock_tries;
  for (int attempt = 1;; ++attempt) {
    if (::flock(fd, LOCK_EX) == 0) return true;
    if (attempt >= tries) return false;
    pause_usec(f_open_lock_pause_usec);
  }
}

// Puts a lock (when asked) on a freshly opened stream; on failure the stream
// is closed. Returns the stream or null.
std::FILE* finish_open(std::FILE* fp, int lock, int* fd_out) {
  if (fp == nullptr) return nullptr;
  int fd = -1;
  if (lock != 0) {
    fd = ::fileno(fp);
    if (!lock_exclusive(fd)) {
      std::fclose(fp);
      return nullptr;
    }
  }
  if (fd_out != nullptr) *fd_out = fd;
  return fp;
}

// Opens (creating when missing, never truncating) a file for writing with
// the open(2) flags given, as a stream of `mode`.
std::FILE* open_no_truncate(const char* path, int flags, const char* mode) {
  const int fd = ::open(path, flags | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* fp = ::fdopen(fd, mode);
  if (fp == nullptr) ::close(fd);
  return fp;
}

// A locked stream, unlocked and closed at the end of the scope unless
// released by hand with close().
class locked_file {
 public:
  locked_file(std::FILE* fp, int fd) : fp_(fp), fd_(fd) {}
  ~locked_file() { close(); }
  locked_file(const locked_file&) = delete;
  locked_file& operator=(const locked_file&) = delete;
  std::FILE* get() const { return fp_; }
  explicit operator bool() const { return fp_ != nullptr; }
  int fd() const { return fd_; }
  // Returns f_close's result (1 when buffered data reached the file).
  int close() {
    if (fp_ == nullptr) return 1;
    const int ok = f_close(fp_, fd_);
    fp_ = nullptr;
    return ok;
  }

 private:
  std::FILE* fp_;
  int fd_;
};

locked_file open_locked(const char* path, const char* mode) {
  int fd = -1;
  std::FILE* fp = f_open(path, mode, 1, &fd);
  return locked_file(fp, fp != nullptr ? fd : -1);
}

bool users_file(char (&name)[DATA_NAME_SIZE]) { return data_file_name(name, sizeof name, "users.dat") != 0; }

// Whole-text comparison without regard to case against a fixed field that
// may lack its NUL.
template <std::size_t N>
bool equals_nocase(const char* text, const char (&field)[N]) {
  const std::size_t len = ::strnlen(field, N);
  return std::strlen(text) == len && ::strncasecmp(text, field, len) == 0;
}

// A fixed field as a NUL-terminated text.
template <std::size_t N>
struct field_text {
  char s[N + 1];
  explicit field_text(const char (&field)[N]) {
    const std::size_t len = ::strnlen(field, N);
    std::memcpy(s, field, len);
    s[len] = '\0';
  }
};

// The record number that acctnum gives (acctnum n is record n-1), or -1 when
// it does not read as a decimal number of at least 1 (leading white space
// and a sign allowed, as atoi reads it) or is too large for a position.
long record_of_acctnum(const acct_rec& acct) {
  const field_text<sizeof acct.acctnum> num(acct.acctnum);
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(num.s, &end, 10);
  if (end == num.s || errno == ERANGE || n < 1 || n > INT_MAX) return -1;
  return n - 1;
}

bool reserved_name(const acct_rec& acct) {
  return equals_nocase("visitor", acct.acctname) || equals_nocase("network", acct.acctname);
}

}  // namespace

std::FILE* f_open(const char* path, const char* mode, int lock, int* fd_out) {
  if (path == nullptr || mode == nullptr) return nullptr;
  return finish_open(std::fopen(path, mode), lock, fd_out);
}

int f_close(std::FILE* stream, int fd) {
  int flushed = 1;
  if (stream != nullptr && std::fflush(stream) != 0) flushed = 0;
  if (fd != -1 && ::flock(fd, LOCK_UN) != 0) {
    std::printf("Error: %s (%d)\n", std::strerror(errno), fd);
    std::fflush(stdout);
  }
  if (stream != nullptr && std::fclose(stream) != 0) flushed = 0;
  return flushed;
}

unsigned file_size(const char* path) {
  struct stat st;
  if (path == nullptr || ::stat(path, &st) != 0) return 0;
  return static_cast<unsigned>(st.st_size);
}

int data_file_name(char* out, std::size_t size, const char* file) {
  if (out == nullptr || size == 0 || file == nullptr || cfg == nullptr) return 0;
  const int path_len = static_cast<int>(::strnlen(cfg->data_path, sizeof cfg->data_path));
  const int n = std::snprintf(out, size, "%.*s%s", path_len, cfg->data_path, file);
  return (n >= 0 && static_cast<std::size_t>(n) < size) ? 1 : 0;
}

int find_user_name(const char* name) {
  if (name == nullptr) return -1;
  char path[DATA_NAME_SIZE];
  if (!users_file(path)) return -1;
  const long n = std::strtol(name, nullptr, 10);
  if (n > 0) {
    const long records = static_cast<long>(file_size(path)) / ACCT_REC_SIZE;
    if (n > records) return -1;
    acct_rec acct{};
    if (load_user_account(&acct, static_cast<int>(n - 1)) == 0) return -1;
    return acct.acct_status == ACCT_FREE ? -1 : static_cast<int>(n - 1);
  }
  // The whole file may be read: a larger stream buffer (on the stack, set
  // before the first read, declared before the stream so that it outlives
  // it) takes it in fewer, larger reads.
  char iobuf[SCAN_BUFFER];
  locked_file f = open_locked(path, "rb");
  if (!f) return -1;
  std::setvbuf(f.get(), iobuf, _IOFBF, sizeof iobuf);
  acct_rec acct;
  for (int index = 0; std::fread(&acct, sizeof acct, 1, f.get()) == 1; ++index) {
    if (acct.acct_status == ACCT_FREE) continue;
    if (equals_nocase(name, acct.acctname) || equals_nocase(name, acct.realname)) return index;
  }
  return -1;
}

int load_user_account(acct_rec* acct, int recno) {
  if (acct == nullptr) return 0;
  char path[DATA_NAME_SIZE];
  if (!users_file(path)) return 0;
  locked_file f = open_locked(path, "rb");
  if (!f) return 0;
  // A negative record has no position: nothing is read.
  if (recno >= 0 && ::fseeko(f.get(), static_cast<off_t>(recno) * ACCT_REC_SIZE, SEEK_SET) == 0) {
    const std::size_t got = std::fread(acct, 1, sizeof *acct, f.get());
    static_cast<void>(got);  // a short read changes only the bytes it got
  }
  return 1;
}

int save_user_account(const acct_rec* acct) {
  if (acct == nullptr) return 0;
  if (::strnlen(acct->acctname, sizeof acct->acctname) == 0 || reserved_name(*acct)) return 0;
  const long recno = record_of_acctnum(*acct);
  if (recno < 0) return 0;
  char path[DATA_NAME_SIZE];
  if (!users_file(path)) return 0;

  // Open for update, creating a missing file, without ever emptying one.
  int fd = -1;
  std::FILE* fp = finish_open(open_no_truncate(path, O_RDWR, "rb+"), 1, &fd);
  if (fp == nullptr) {
    const field_text<sizeof acct->acctname> name(acct->acctname);
    char line[sizeof name.s + 32];
    std::snprintf(line, sizeof line, "Error saving %s's account.", name.s);
    send_bbslog(line);
    return 0;
  }
  locked_file f(fp, fd);
  if (::fseeko(f.get(), static_cast<off_t>(recno) * ACCT_REC_SIZE, SEEK_SET) != 0) return 0;
  const bool wrote = std::fwrite(acct, sizeof *acct, 1, f.get()) == 1;
  const int flushed = f.close();
  return wrote && flushed ? 1 : 0;
}

int find_user_slot() {
  char path[DATA_NAME_SIZE];
  if (!users_file(path)) return 0;
  char iobuf[SCAN_BUFFER];  // as in find_user_name
  locked_file f = open_locked(path, "rb");
  if (!f) return 0;
  std::setvbuf(f.get(), iobuf, _IOFBF, sizeof iobuf);
  acct_rec acct;
  int index = 0;
  for (; std::fread(&acct, sizeof acct, 1, f.get()) == 1; ++index)
    if (acct.acct_status == ACCT_FREE) return index;
  return index;
}

int copy_file(const char* source, char* target) {
  if (source == nullptr || target == nullptr) return 0;
  locked_file in = open_locked(source, "rb");
  if (!in) return 0;
  strlwr(target);

  // Opened without truncation: the target is emptied only under its lock,
  // and not at all when it is the source itself (locking it a second time
  // would wait for ever, and emptying it would lose the source).
  std::FILE* out_fp = open_no_truncate(target, O_WRONLY, "wb");
  if (out_fp == nullptr) return 0;
  struct stat src_st, dst_st;
  if (::fstat(::fileno(in.get()), &src_st) != 0 || ::fstat(::fileno(out_fp), &dst_st) != 0 ||
      (src_st.st_dev == dst_st.st_dev && src_st.st_ino == dst_st.st_ino)) {
    std::fclose(out_fp);
    return 0;
  }
  int out_fd = -1;
  out_fp = finish_open(out_fp, 1, &out_fd);
  if (out_fp == nullptr) return 0;
  locked_file out(out_fp, out_fd);
  if (S_ISREG(dst_st.st_mode) && ::ftruncate(out_fd, 0) != 0) return 0;

  bool ok = true;
  char chunk[4096];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, in.get());
    if (got > 0 && std::fwrite(chunk, 1, got, out.get()) != got) {
      ok = false;
      break;
    }
    if (got < sizeof chunk) {
      if (std::ferror(in.get())) ok = false;
      break;
    }
  }
  const int flushed = out.close();  // target first, then source
  in.close();
  return ok && flushed ? 1 : 0;
}

}  // namespace zv
