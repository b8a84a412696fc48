// Small helpers shared by the process, INI and loader tests: reading a
// process's signal state from /proc, waiting for a condition, temporary
// directories and files, and the place of the test fixtures.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zvproc {

// A file of /proc/<pid>/ read with plain read() (it may vanish meanwhile);
// "" when the process is gone.
inline std::string read_proc(pid_t pid, const char* name) {
  const std::string path = "/proc/" + std::to_string(pid) + "/" + name;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string all;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return all;
}

// One of the masks of /proc/<pid>/status ("SigBlk", "SigIgn", "SigCgt"),
// or ~0 when it cannot be read.
inline unsigned long long signal_mask(pid_t pid, const char* field) {
  const std::string all = read_proc(pid, "status");
  const std::string key = "\n" + std::string(field) + ":";
  const auto at = all.find(key);
  if (at == std::string::npos) return ~0ull;
  return std::strtoull(all.c_str() + at + key.size(), nullptr, 16);
}

inline bool has_signal(unsigned long long mask, int sig) { return (mask >> (sig - 1)) & 1u; }

// The one-letter state of /proc/<pid>/stat ('S', 'Z', ...), or 0 when the
// process is gone.
inline char process_state(pid_t pid) {
  const std::string all = read_proc(pid, "stat");
  const auto close = all.rfind(')');
  if (close == std::string::npos || close + 2 >= all.size()) return 0;
  return all[close + 2];
}

// Polls `cond` every 5 ms until it holds or `ms` milliseconds have passed.
inline bool wait_until(const std::function<bool()>& cond, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// True once `pid` catches SIGUSR1, that is sleeps in suspend().
inline bool catches_usr1(pid_t pid) { return has_signal(signal_mask(pid, "SigCgt"), SIGUSR1); }

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline bool make_executable(const std::string& path, const std::string& text) {
  write_file(path, text);
  return ::chmod(path.c_str(), 0755) == 0;
}

// A fresh directory under /tmp, removed with everything in it on scope exit.
class TempDir {
 public:
  explicit TempDir(const char* tag = "zvtest") {
    std::string tmpl = std::string("/tmp/") + tag + ".XXXXXX";
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s", tmpl.c_str());
    if (::mkdtemp(buf) != nullptr) path_ = buf;
  }
  ~TempDir() {
    if (!path_.empty()) {
      const std::string cmd = "rm -rf '" + path_ + "'";
      if (std::system(cmd.c_str()) != 0) {
      }
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // The directory with a final "/".
  std::string dir() const { return path_ + "/"; }

 private:
  std::string path_;
};

// The tests/fixtures directory of the source tree (this header lies in tests/).
inline std::string fixtures_dir() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind('/')) + "/fixtures/";
}

}  // namespace zvproc
