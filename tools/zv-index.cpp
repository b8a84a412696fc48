// zv-index: creates, changes, searches, checks and dumps B+tree index files.
//
//   zv-index create FILE [--dups]
//   zv-index add    FILE KEY RECPTR RECLEN [--dups]
//   zv-index del    FILE KEY [RECPTR] [--dups]
//   zv-index get    FILE KEY [--dups]
//   zv-index list   FILE
//   zv-index check  FILE [--unique]
//   zv-index dump   FILE
//
// The file does not record whether equal keys are allowed: give --dups to
// every command that changes or searches an index made for duplicates.
// Entries print as KEY<TAB>RECPTR<TAB>RECLEN. Exit status: 0 done/found,
// 1 not found, refused, or the check found a broken rule, 2 on an error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bplus.h"

namespace {

constexpr int ok = 0, no = 1, fail = 2;

int usage() {
  std::fprintf(stderr,
               "usage: zv-index create FILE [--dups]\n"
               "       zv-index add FILE KEY RECPTR RECLEN [--dups]\n"
               "       zv-index del FILE KEY [RECPTR] [--dups]\n"
               "       zv-index get FILE KEY [--dups]\n"
               "       zv-index list FILE\n"
               "       zv-index check FILE [--unique]\n"
               "       zv-index dump FILE\n");
  return fail;
}

bool number(const char* s, int32_t* out) {
  if (!*s) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

bool set_key(zv::index_entry* e, const char* key) {
  std::memset(e, 0, sizeof *e);
  size_t n = std::strlen(key);
  if (n > static_cast<size_t>(zv::index_key_max)) {
    std::fprintf(stderr, "zv-index: key longer than %d bytes\n", zv::index_key_max);
    return false;
  }
  std::memcpy(e->key, key, n + 1);
  return true;
}

void print_entry(const zv::index_entry& e) {
  std::printf("%s\t%d\t%d\n", e.key, static_cast<int>(e.recptr), static_cast<int>(e.reclen));
}

// Opens for a command; prints why it cannot.
bool open_for(const char* file, zv::index_desc* d, int dups) {
  if (zv::open_index(file, d, dups) == 1) return true;
  std::fprintf(stderr, "zv-index: cannot open %s: %s\n", file, std::strerror(errno));
  return false;
}

int cmd_create(const char* file, int dups) {
  zv::index_desc d;
  if (zv::make_index(file, &d, dups) != 1) {
    std::fprintf(stderr, "zv-index: cannot create %s: %s\n", file, std::strerror(errno));
    return fail;
  }
  zv::close_index(&d);
  return ok;
}

int cmd_add(const char* file, const char* key, const char* rp, const char* rl, int dups) {
  zv::index_entry e;
  if (!set_key(&e, key)) return fail;
  if (!number(rp, &e.recptr) || !number(rl, &e.reclen)) {
    std::fprintf(stderr, "zv-index: RECPTR and RECLEN must be 32-bit numbers\n");
    return fail;
  }
  zv::index_desc d;
  if (!open_for(file, &d, dups)) return fail;
  int r = zv::add_key(&e, &d);
  zv::close_index(&d);
  if (r != 1) {
    std::fprintf(stderr, "zv-index: %s: key already present\n", key);
    return no;
  }
  return ok;
}

int cmd_del(const char* file, const char* key, const char* rp, int dups) {
  zv::index_entry e;
  if (!set_key(&e, key)) return fail;
  if (rp && !number(rp, &e.recptr)) {
    std::fprintf(stderr, "zv-index: RECPTR must be a 32-bit number\n");
    return fail;
  }
  if (dups && !rp) {
    std::fprintf(stderr, "zv-index: with --dups, del needs the RECPTR of the entry\n");
    return fail;
  }
  zv::index_desc d;
  if (!open_for(file, &d, dups)) return fail;
  int r = zv::delete_key(&e, &d);
  zv::close_index(&d);
  if (r != 1) {
    std::fprintf(stderr, "zv-index: %s: not found\n", key);
    return no;
  }
  return ok;
}

int cmd_get(const char* file, const char* key, int dups) {
  zv::index_entry e;
  if (!set_key(&e, key)) return fail;
  zv::index_desc d;
  if (!open_for(file, &d, dups)) return fail;
  int r = zv::locate_key(&e, &d);
  zv::close_index(&d);
  if (r == 1) {
    print_entry(e);
    return ok;
  }
  if (r == 0) print_entry(e);  // what locate_key hands back: the next greater key
  std::fprintf(stderr, "zv-index: %s: not found\n", key);
  return no;
}

int cmd_list(const char* file) {
  zv::index_desc d;
  if (!open_for(file, &d, 0)) return fail;
  struct stat st;
  long blocks = fstat(d.fd, &st) == 0 ? static_cast<long>(st.st_size) / zv::index_block_size + 1 : 1;
  // No sound tree holds more keys than its blocks can; a walk that goes on
  // past that is going round a damaged tree.
  long limit = blocks * (zv::index_entries_size / zv::index_entry_fixed);
  zv::index_entry e;
  long n = 0;
  int status = ok;
  while (zv::next_key(&e, &d) == 1) {
    if (++n > limit) {
      std::fprintf(stderr, "zv-index: %s: more keys than the file can hold; the tree is damaged (try check)\n", file);
      status = fail;
      break;
    }
    print_entry(e);
  }
  zv::close_index(&d);
  return status;
}

int cmd_check(const char* file, int dups) {
  zv::index_check_report rep;
  int r = zv::check_index(file, dups, &rep);
  if (r == 1) {
    std::printf("%s: sound: %d keys, %d levels, %d blocks, %d free\n", file, static_cast<int>(rep.keys),
                static_cast<int>(rep.levels), static_cast<int>(rep.blocks), static_cast<int>(rep.free_blocks));
    return ok;
  }
  std::fprintf(stderr, "zv-index: %s: %s\n", file, rep.detail);
  return r == 0 ? no : fail;
}

void print_key(const char* k) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(k); *p; ++p) {
    if (*p >= 0x20 && *p < 0x7f && *p != '"' && *p != '\\')
      std::putchar(*p);
    else
      std::printf("\\x%02x", *p);
  }
}

void dump_block(const zv::index_block& b, long pos) {
  if (pos != 0 && b.leftptr == zv::index_free_mark) {
    std::printf("block %ld: free, next %d\n", pos, static_cast<int>(b.blkpos));
    return;
  }
  std::printf("block %ld%s: blkpos %d used %d leftptr %d\n", pos, pos == 0 ? " (root)" : "",
              static_cast<int>(b.blkpos), static_cast<int>(b.used), static_cast<int>(b.leftptr));
  if (b.used < 0 || b.used > zv::index_entries_size) {
    std::printf("  used outside 0..%d: entries not shown\n", zv::index_entries_size);
    return;
  }
  int32_t off = 0;
  while (off < b.used) {
    if (off + zv::index_entry_fixed > b.used) {
      std::printf("  [%d] entry runs past used\n", static_cast<int>(off));
      return;
    }
    const char* k = b.entries + off + 12;
    size_t room = static_cast<size_t>(b.used - off - 12);
    const void* z = std::memchr(k, 0, room);
    if (!z) {
      std::printf("  [%d] key without NUL within used\n", static_cast<int>(off));
      return;
    }
    int32_t v[3];
    std::memcpy(v, b.entries + off, sizeof v);
    std::printf("  [%d] childptr %d recptr %d reclen %d key \"", static_cast<int>(off), static_cast<int>(v[0]),
                static_cast<int>(v[1]), static_cast<int>(v[2]));
    print_key(k);
    std::printf("\"\n");
    off += zv::index_entry_fixed + static_cast<int32_t>(static_cast<const char*>(z) - k);
  }
}

int cmd_dump(const char* file) {
  int fd = open(file, O_RDONLY);
  if (fd < 0) {
    std::fprintf(stderr, "zv-index: cannot open %s: %s\n", file, std::strerror(errno));
    return fail;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return fail;
  }
  long len = static_cast<long>(st.st_size);
  zv::index_header h;
  if (len < zv::index_header_size || pread(fd, &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
    std::fprintf(stderr, "zv-index: %s: shorter than the %d-byte header (%ld bytes)\n", file, zv::index_header_size,
                 len);
    close(fd);
    return fail;
  }
  long over = len - zv::index_header_size;
  std::printf("file %s: %ld bytes, %ld blocks%s\n", file, len, over / zv::index_block_size,
              over % zv::index_block_size ? " and a partial one" : "");
  std::printf("header: free-list head %d, levels %d\n", static_cast<int>(h.freelist), static_cast<int>(h.levels));
  dump_block(h.root, 0);
  zv::index_block b;
  for (long pos = zv::index_header_size; pos + zv::index_block_size <= len; pos += zv::index_block_size) {
    if (pread(fd, &b, sizeof b, pos) != static_cast<ssize_t>(sizeof b)) break;
    dump_block(b, pos);
  }
  // The free list, cut short where it leaves the file or comes round again.
  std::printf("free list:");
  int32_t pos = h.freelist;
  long hops = 0, most = over / zv::index_block_size;
  while (pos != -1) {
    std::printf(" %d", static_cast<int>(pos));
    int32_t next;
    if (pos < zv::index_header_size || pread(fd, &next, sizeof next, pos) != static_cast<ssize_t>(sizeof next)) {
      std::printf(" (outside the file)");
      break;
    }
    if (++hops > most) {
      std::printf(" ... (loops)");
      break;
    }
    pos = next;
  }
  std::printf(pos == -1 ? " end\n" : "\n");
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const char* cmd = argv[1];
  const char* file = argv[2];
  int dups = 0, unique = 0;
  const char* args[4] = {};
  int nargs = 0;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dups") == 0)
      dups = 1;
    else if (std::strcmp(argv[i], "--unique") == 0)
      unique = 1;
    else if (nargs < 4)
      args[nargs++] = argv[i];
    else
      return usage();
  }
  auto want = [&](int lo, int hi) { return nargs >= lo && nargs <= hi; };
  if (std::strcmp(cmd, "create") == 0 && want(0, 0)) return cmd_create(file, dups);
  if (std::strcmp(cmd, "add") == 0 && want(3, 3)) return cmd_add(file, args[0], args[1], args[2], dups);
  if (std::strcmp(cmd, "del") == 0 && want(1, 2)) return cmd_del(file, args[0], nargs > 1 ? args[1] : nullptr, dups);
  if (std::strcmp(cmd, "get") == 0 && want(1, 1)) return cmd_get(file, args[0], dups);
  if (std::strcmp(cmd, "list") == 0 && want(0, 0)) return cmd_list(file);
  if (std::strcmp(cmd, "check") == 0 && want(0, 0)) return cmd_check(file, unique ? 0 : 1);
  if (std::strcmp(cmd, "dump") == 0 && want(0, 0)) return cmd_dump(file);
  return usage();
}
