#include "bplus_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace zvtest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zv-bplus-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

int32_t get32(const Bytes& b, size_t off) {
  uint32_t v = uint32_t(b.at(off)) | uint32_t(b.at(off + 1)) << 8 | uint32_t(b.at(off + 2)) << 16 |
               uint32_t(b.at(off + 3)) << 24;
  return static_cast<int32_t>(v);
}

void put32(Bytes& b, size_t off, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<uint8_t>(u >> (8 * i));
}

Bytes encode_block(int32_t blkpos, int32_t leftptr, const std::vector<RawEntry>& entries, int32_t used_override) {
  Bytes b(1024, 0);
  size_t off = 12;
  for (const auto& e : entries) {
    if (off + 13 + e.key.size() > 1024) throw std::runtime_error("entries do not fit a block");
    put32(b, off, e.childptr);
    put32(b, off + 4, e.recptr);
    put32(b, off + 8, e.reclen);
    std::memcpy(b.data() + off + 12, e.key.data(), e.key.size());
    b[off + 12 + e.key.size()] = 0;
    off += 13 + e.key.size();
  }
  put32(b, 0, blkpos);
  put32(b, 4, used_override == INT32_MIN ? static_cast<int32_t>(off - 12) : used_override);
  put32(b, 8, leftptr);
  return b;
}

RawBlock decode_block(const Bytes& file, size_t pos) {
  RawBlock r;
  r.blkpos = get32(file, pos);
  r.used = get32(file, pos + 4);
  r.leftptr = get32(file, pos + 8);
  size_t off = 0;
  while (r.used >= 0 && r.used <= 1012 && off < static_cast<size_t>(r.used)) {
    RawEntry e;
    size_t p = pos + 12 + off;
    e.childptr = get32(file, p);
    e.recptr = get32(file, p + 4);
    e.reclen = get32(file, p + 8);
    const char* k = reinterpret_cast<const char*>(file.data() + p + 12);
    e.key.assign(k, strnlen(k, 100));
    off += 13 + e.key.size();
    r.entries.push_back(e);
  }
  return r;
}

Bytes encode_file(const Bytes& root, int32_t freelist, int32_t levels) {
  Bytes f(root);
  f.resize(1032, 0);
  put32(f, 1024, freelist);
  put32(f, 1028, levels);
  return f;
}

void place_block(Bytes& file, int32_t pos, const Bytes& block) {
  if (file.size() < static_cast<size_t>(pos) + 1024) file.resize(static_cast<size_t>(pos) + 1024, 0);
  std::memcpy(file.data() + pos, block.data(), 1024);
}

Bytes significant(const Bytes& file) {
  Bytes out(file);
  for (size_t pos = 0; pos + 1024 <= out.size(); pos = pos == 0 ? 1032 : pos + 1024) {
    int32_t used = get32(out, pos + 4);
    if (pos != 0 && get32(out, pos + 8) == -2) {
      std::memset(out.data() + pos + 4, 0, 4);
      std::memset(out.data() + pos + 12, 0, 1012);
    } else if (used >= 0 && used <= 1012) {
      std::memset(out.data() + pos + 12 + used, 0, static_cast<size_t>(1012 - used));
    }
  }
  return out;
}

static void walk_at(const Bytes& file, size_t pos, int depth, std::vector<RawEntry>& out) {
  if (depth > 64) throw std::runtime_error("tree too deep");
  RawBlock b = decode_block(file, pos);
  if (b.leftptr != -1) walk_at(file, static_cast<size_t>(b.leftptr), depth + 1, out);
  for (const auto& e : b.entries) {
    out.push_back(e);
    if (e.childptr != -1) walk_at(file, static_cast<size_t>(e.childptr), depth + 1, out);
  }
}

std::vector<RawEntry> walk_file(const Bytes& file) {
  std::vector<RawEntry> out;
  walk_at(file, 0, 0, out);
  return out;
}

zv::index_entry make_entry(const std::string& key, int32_t recptr, int32_t reclen) {
  zv::index_entry e;
  std::memset(&e, 0, sizeof e);
  e.childptr = -1;
  e.recptr = recptr;
  e.reclen = reclen;
  std::memcpy(e.key, key.data(), std::min<size_t>(key.size(), sizeof e.key));
  if (key.size() < sizeof e.key) e.key[key.size()] = 0;
  return e;
}

std::string key_of(const zv::index_entry& e) { return std::string(e.key, strnlen(e.key, sizeof e.key)); }

std::string sized_key(const std::string& stem, size_t n, char fill) {
  std::string k = stem.substr(0, n);
  k.resize(n, fill);
  return k;
}

}  // namespace zvtest
