// libFuzzer target: the input is an index file. It is opened, walked both
// ways, searched, changed, walked again and checked; nothing may read or
// write outside its buffers, hang or crash.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bplus.h"

namespace {

std::string file_path;

void remove_dir() {
  unlink(file_path.c_str());
  rmdir(file_path.substr(0, file_path.rfind('/')).c_str());
}

void setup() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zv-fuzz-XXXXXX";
  char buf[4096];
  std::snprintf(buf, sizeof buf, "%s", tmpl.c_str());
  if (!mkdtemp(buf)) std::abort();
  file_path = std::string(buf) + "/f.idx";
  std::atexit(remove_dir);
}

void set_key(zv::index_entry* e, const char* k, size_t n) {
  std::memset(e, 0, sizeof *e);
  if (n > 99) n = 99;
  std::memcpy(e->key, k, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (file_path.empty()) setup();
  int fd = open(file_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) std::abort();
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);

  const int dups = size > 0 && (data[size - 1] & 1);
  zv::index_desc d;
  if (zv::open_index(file_path.c_str(), &d, dups) != 1) std::abort();
  zv::index_entry e, keys[4];
  int nkeys = 0, steps = 0;
  while (zv::next_key(&e, &d) == 1 && ++steps < 20000)
    if (nkeys < 4 && steps % 3 == 1) keys[nkeys++] = e;
  steps = 0;
  while (zv::prev_key(&e, &d) == 1 && ++steps < 20000) {
  }
  for (int i = 0; i < nkeys; ++i) {
    e = keys[i];
    for (char* c = e.key; *c; ++c) *c = static_cast<char>(*c ^ ((*c >= 'a' && *c <= 'z') ? 0x20 : 0));
    zv::find_key(&e, &d);
    e = keys[i];
    zv::locate_key(&e, &d);
    e = keys[i];
    zv::find_exact(&e, &d);
  }
  static const char* probes[] = {"", "a", "m", "zzzz", "~"};
  for (const char* p : probes) {
    set_key(&e, p, std::strlen(p));
    zv::locate_key(&e, &d);
  }
  // Changes: keys made from the input, then some removed again.
  char k[100];
  for (int i = 0; i < 24; ++i) {
    size_t n = 1 + (size ? data[(i * 131) % size] % 99 : i);
    for (size_t j = 0; j < n; ++j) k[j] = static_cast<char>('A' + (i * 7 + j) % 58);
    set_key(&e, k, n);
    e.recptr = i;
    zv::add_key(&e, &d);
  }
  for (int i = 0; i < nkeys; ++i) {
    e = keys[i];
    zv::delete_key(&e, &d);
  }
  for (int i = 0; i < 24; i += 2) {
    size_t n = 1 + (size ? data[(i * 131) % size] % 99 : i);
    for (size_t j = 0; j < n; ++j) k[j] = static_cast<char>('A' + (i * 7 + j) % 58);
    set_key(&e, k, n);
    e.recptr = i;
    zv::delete_key(&e, &d);
  }
  zv::first_key(&d);
  steps = 0;
  while (zv::next_key(&e, &d) == 1 && ++steps < 20000) {
  }
  zv::buffer_flush(&d);
  zv::index_check_report rep;
  zv::check_index_fd(d.fd, dups, &rep);
  zv::close_index(&d);
  return 0;
}
