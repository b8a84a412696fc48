// Writes a few sound index files into a directory: the fuzzer's seeds.
#include <cstdio>
#include <cstring>
#include <string>

#include "bplus.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  const int sizes[] = {0, 1, 9, 40, 200};
  int n = 0;
  for (int keys : sizes) {
    for (int dups = 0; dups < 2; ++dups) {
      std::string name = std::string(argv[1]) + "/seed" + std::to_string(n++) + ".idx";
      zv::index_desc d;
      if (zv::make_index(name.c_str(), &d, dups) != 1) return 1;
      for (int i = 0; i < keys; ++i) {
        zv::index_entry e;
        std::memset(&e, 0, sizeof e);
        std::snprintf(e.key, sizeof e.key, "%s%05d%.*s", i % 2 ? "Key" : "key", (i * 7919) % 10007, i % 60,
                      "----------------------------------------------------------------");
        e.recptr = i;
        e.reclen = i;
        zv::add_key(&e, &d);
      }
      for (int i = 0; i < keys / 3; ++i) {  // some merges, so the free list has blocks
        zv::index_entry e;
        std::memset(&e, 0, sizeof e);
        std::snprintf(e.key, sizeof e.key, "%s%05d%.*s", i % 2 ? "Key" : "key", (i * 7919) % 10007, i % 60,
                      "----------------------------------------------------------------");
        e.recptr = i;
        zv::delete_key(&e, &d);
      }
      zv::close_index(&d);
    }
  }
  return 0;
}
