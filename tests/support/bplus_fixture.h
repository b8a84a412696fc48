// Test helpers for the B+tree index: temporary directories, and an encoder
// and decoder of the index file format written from the byte layout alone,
// so that files "made elsewhere" can be built and files written by the
// library can be read back without going through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bplus.h"

namespace zvtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its files at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
long file_size(const std::string& path);

int32_t get32(const Bytes& b, size_t off);
void put32(Bytes& b, size_t off, int32_t v);

struct RawEntry {
  int32_t childptr = -1;
  int32_t recptr = 0;
  int32_t reclen = 0;
  std::string key;
};

struct RawBlock {
  int32_t blkpos = 0;
  int32_t used = 0;
  int32_t leftptr = -1;
  std::vector<RawEntry> entries;  // decoded from `used` bytes
};

// 1024 bytes of a block with the given entries packed from offset 12; `used`
// is their total size unless `used_override` is given. Unused bytes are 0.
Bytes encode_block(int32_t blkpos, int32_t leftptr, const std::vector<RawEntry>& entries,
                   int32_t used_override = INT32_MIN);
// Decodes a block at `pos` of a file image (entries parsed up to `used`).
RawBlock decode_block(const Bytes& file, size_t pos);

// Builds a whole file: the root block image, free-list head and levels,
// then blocks placed at their positions (the file grows to cover them).
Bytes encode_file(const Bytes& root, int32_t freelist, int32_t levels);
void place_block(Bytes& file, int32_t pos, const Bytes& block);

// The file with every byte that carries no meaning set to 0: the bytes of
// a block past `used`, and all of a free block but its words 0 and 8.
Bytes significant(const Bytes& file);

// Every key of a file image in order, read by walking the tree directly.
std::vector<RawEntry> walk_file(const Bytes& file);

zv::index_entry make_entry(const std::string& key, int32_t recptr = 0, int32_t reclen = 0);
std::string key_of(const zv::index_entry& e);

// A key of `n` bytes: `stem` followed by filler letters.
std::string sized_key(const std::string& stem, size_t n, char fill = 'x');

}  // namespace zvtest
