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
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zvproc {

// One of the masks of /proc/<pid>/status ("SigBlk", "SigIgn", "SigCgt"),
// or ~0 when it cannot be read.
inline unsigned long long signal_mask(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, 16);
  return ~0ull;
}

inline bool has_signal(unsigned long long mask, int sig) { return (mask >> (sig - 1)) & 1u; }

// The one-letter state of /proc/<pid>/stat ('S', 'Z', ...), or 0 when the
// process is gone.
inline char process_state(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
