// dbfutl: the message-text library (file layout at the top of dbfutl.h).
#include "dbfutl.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "zivevuva.h"

namespace zv {

msg_file msg_files[MSG_FLAVOURS];
int files_are_open = 0;

namespace {

constexpr const char* index_files[MSG_FLAVOURS] = {"msgtext.dbf", "msgansi.dbf", "msgrip.dbf"};
constexpr const char* data_files[MSG_FLAVOURS] = {"msgtext.dat", "msgansi.dat", "msgrip.dat"};

constexpr char label_too_long[] =
    "\rThere has been a internal error, the label name (%s) is not within length "
    "specifications, please notify the sysop.\r";
constexpr char label_not_found[] =
    "\rThere has been an internal error, the label name (%s) was not found, please "
    "notify the sysop.\r";
constexpr char bad_flavour[] =
    "\rThere has been an internal error, the message flavour (%d) is not valid, please "
    "notify the sysop.\r";

int make_name(const char* file, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return 0;
  int path_len = 0;
  const char* path = "";
  if (cfg != nullptr) {
    path = cfg->bbs_path;
    path_len = static_cast<int>(::strnlen(cfg->bbs_path, sizeof cfg->bbs_path));
  }
  const int n = std::snprintf(out, size, "%.*s%s", path_len, path, file);
  return (n >= 0 && static_cast<std::size_t>(n) < size) ? 1 : 0;
}

bool valid_flavour(int flavour) { return flavour >= 0 && flavour < MSG_FLAVOURS; }

// The caller's limit written at the start of buf: -1 for none, else 0 or
// more. The number is read as atoi reads it, saturating instead of
// overflowing.
long read_limit(const char* buf) {
  if (::strncasecmp(buf, "MAX:", 4) != 0) return -1;
  const char* p = buf + 4;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p)
    if (value < INT_MAX) value = value * 10 + (*p - '0');
  if (value > INT_MAX) value = INT_MAX;
  if (negative) value = -value;
  if (value == -1) return -1;  // "MAX:-1" is no limit
  return value < 0 ? 0 : value;
}

// Writes an error text into buf, cut to the limit (limit-1 characters and a
// NUL), and returns the number of characters placed.
__attribute__((format(printf, 3, 4))) int put_error(char* buf, long limit, const char* format, ...) {
  std::va_list ap;
  va_start(ap, format);
  int n;
  if (limit < 0) {
    n = std::vsprintf(buf, format, ap);  // no limit: the caller's buffer holds it
  } else if (limit == 0) {
    n = 0;
  } else {
    n = std::vsnprintf(buf, static_cast<std::size_t>(limit), format, ap);
    if (n >= limit) n = static_cast<int>(limit - 1);
  }
  va_end(ap);
  return n < 0 ? 0 : n;
}

// Reads count bytes at offset pos of the data file into buf; returns the
// number of bytes read (less at the end of the file or on an error).
int read_text(std::FILE* data, long pos, long count, char* buf) {
  if (data == nullptr || pos < 0 || count <= 0) return 0;
  const int fd = ::fileno(data);
  long done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, buf + done, static_cast<std::size_t>(count - done),
                              static_cast<off_t>(pos + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return static_cast<int>(done);
}

}  // namespace

int msg_index_name(int flavour, char* out, std::size_t size) {
  return valid_flavour(flavour) ? make_name(index_files[flavour], out, size) : 0;
}

int msg_data_name(int flavour, char* out, std::size_t size) {
  return valid_flavour(flavour) ? make_name(data_files[flavour], out, size) : 0;
}

void catastro(const char* text) {
  std::fprintf(stderr, "\n\nError : %s\nCannot continue, aborting load.\n\n", text != nullptr ? text : "");
  std::fflush(stderr);
  end_task();
}

void opnmsg() {
  if (files_are_open) return;
  for (int f = 0; f < MSG_FLAVOURS; ++f) {
    char name[MSG_NAME_SIZE];
    char text[MSG_NAME_SIZE + 64];
    msg_file& slot = msg_files[f];
    if (!msg_index_name(f, name, sizeof name) || open_index(name, &slot.desc, 0) != 1) {
      std::snprintf(text, sizeof text, "ERROR: Unable to open index file %s", name);
      catastro(text);
    }
    slot.data = msg_data_name(f, name, sizeof name) ? std::fopen(name, "rb") : nullptr;
    if (slot.data == nullptr) {
      std::snprintf(text, sizeof text, "ERROR: Unable to open data file %s", name);
      catastro(text);
    }
  }
  files_are_open = 1;
  end_task_hook = close_msg_file;
}

int getmsg(int flavour, const char* label, char* buf) {
  if (buf == nullptr) return 0;
  const long limit = read_limit(buf);
  if (!files_are_open) opnmsg();
  if (label == nullptr) label = "";
  if (!valid_flavour(flavour)) return put_error(buf, limit, bad_flavour, flavour);
  const std::size_t len = std::strlen(label);
  if (len > static_cast<std::size_t>(MSG_LABEL_MAX)) return put_error(buf, limit, label_too_long, label);

  msg_file& slot = msg_files[flavour];
  std::memcpy(slot.entry.key, label, len + 1);
  if (locate_key(&slot.entry, &slot.desc) != 1) return put_error(buf, limit, label_not_found, label);
  long count = slot.entry.reclen;
  if (limit >= 0 && limit < count) count = limit;
  return read_text(slot.data, slot.entry.recptr, count, buf);
}

void close_msg_file() {
  if (end_task_hook == close_msg_file) end_task_hook = nullptr;
  if (!files_are_open) return;
  for (int f = 0; f < MSG_FLAVOURS; ++f) close_index(&msg_files[f].desc);
  for (int f = 0; f < MSG_FLAVOURS; ++f) {
    if (msg_files[f].data != nullptr) std::fclose(msg_files[f].data);
    msg_files[f].data = nullptr;
  }
  files_are_open = 0;
}

}  // namespace zv
