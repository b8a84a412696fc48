#include "ipc_namespace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace zvtest {
namespace {

bool write_file(const char* path, const char* text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const auto len = static_cast<ssize_t>(std::strlen(text));
  const bool ok = ::write(fd, text, static_cast<size_t>(len)) == len;
  ::close(fd);
  return ok;
}

}  // namespace

std::string enter_private_ipc_namespace() {
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
  if (!write_file("/proc/self/uid_map", map)) return "cannot write uid_map";
  write_file("/proc/self/setgroups", "deny");
  std::snprintf(map, sizeof map, "0 %u 1\n", static_cast<unsigned>(gid));
  if (!write_file("/proc/self/gid_map", map)) return "cannot write gid_map";
  return "";
}

}  // namespace zvtest
