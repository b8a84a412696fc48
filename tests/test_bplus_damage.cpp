// Damaged and foreign files, over-long keys, and trees deeper than eight
// levels: the library stays inside its buffers, ends every walk, and the
// checker names the block and the broken rule.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bplus.h"
#include "bplus_fixture.h"

using namespace zvtest;
using zv::index_desc;
using zv::index_entry;
using zv::index_rule;

namespace {

RawEntry ent(const std::string& key, int32_t child = -1, int32_t rp = 1) { return RawEntry{child, rp, rp, key}; }

// A sound two-level file: root [m] over leaves 1032 (a..f) and 2056 (n..z).
Bytes base_file() {
  Bytes f = encode_file(encode_block(0, 1032, {ent("m", 2056)}), -1, 2);
  place_block(f, 1032, encode_block(1032, -1, {ent("a"), ent("c"), ent("f")}));
  place_block(f, 2056, encode_block(2056, -1, {ent("n"), ent("q"), ent("z")}));
  return f;
}

// Three levels: root [m] over interior 3080 [f] and 4104 [t], leaves below.
Bytes three_levels() {
  Bytes f = encode_file(encode_block(0, 3080, {ent("m", 4104)}), -1, 3);
  place_block(f, 3080, encode_block(3080, 1032, {ent("f", 2056)}));
  place_block(f, 4104, encode_block(4104, 5128, {ent("t", 6152)}));
  place_block(f, 1032, encode_block(1032, -1, {ent("a"), ent("c")}));
  place_block(f, 2056, encode_block(2056, -1, {ent("g"), ent("h")}));
  place_block(f, 5128, encode_block(5128, -1, {ent("n"), ent("q")}));
  place_block(f, 6152, encode_block(6152, -1, {ent("u"), ent("z")}));
  return f;
}

struct Damage {
  const char* name;
  std::function<Bytes()> make;
  index_rule rule;
  int32_t block;
};

std::vector<Damage> damages() {
  return {
      {"empty file", [] { return Bytes(); }, index_rule::header_short, -1},
      {"truncated header", [] { Bytes f = base_file(); f.resize(500); return f; }, index_rule::header_short, -1},
      {"root used 2000", [] { Bytes f = base_file(); put32(f, 4, 2000); return f; }, index_rule::used_range, 0},
      {"root used -5", [] { Bytes f = base_file(); put32(f, 4, -5); return f; }, index_rule::used_range, 0},
      {"leaf used 2000", [] { Bytes f = base_file(); put32(f, 1032 + 4, 2000); return f; }, index_rule::used_range, 1032},
      {"key without NUL in a full block",
       [] {
         Bytes f = base_file();
         put32(f, 2056 + 4, 1012);
         std::memset(f.data() + 2056 + 24, 'A', 1000);
         return f;
       },
       index_rule::key_no_nul, 2056},
      {"key running into used",
       [] {
         Bytes f = base_file();
         f[1032 + 12 + 12 + 1] = 'x';  // "a" loses its NUL, the next entry's bytes follow
         put32(f, 1032 + 4, 15);
         return f;
       },
       index_rule::entry_overrun, 1032},
      {"child pointing at itself", [] { Bytes f = base_file(); put32(f, 1032 + 8, 1032); return f; },
       index_rule::block_twice, 1032},
      {"child pointing back up the path",
       [] { Bytes f = three_levels(); put32(f, 6152 + 8, 4104); put32(f, 6152 + 12, 6152); return f; },
       index_rule::block_twice, 4104},
      {"child beyond the end of the file", [] { Bytes f = base_file(); put32(f, 12, 1032 + 500 * 1024); return f; },
       index_rule::child_position, 0},
      {"child inside the header", [] { Bytes f = base_file(); put32(f, 8, 0); return f; }, index_rule::child_position, 0},
      {"child -2", [] { Bytes f = base_file(); put32(f, 12, -2); return f; }, index_rule::child_position, 0},
      {"child off a block boundary", [] { Bytes f = base_file(); put32(f, 12, 2057); return f; },
       index_rule::child_position, 0},
      {"two parents of one leaf", [] { Bytes f = base_file(); put32(f, 12, 1032); return f; }, index_rule::block_twice,
       1032},
      {"free-list loop on one block",
       [] {
         Bytes f = base_file();
         place_block(f, 3080, encode_block(3080, -2, {}));
         put32(f, 1024, 3080);
         return f;
       },
       index_rule::block_twice, 3080},
      {"free-list loop over two blocks",
       [] {
         Bytes f = base_file();
         place_block(f, 3080, encode_block(4104, -2, {}));
         place_block(f, 4104, encode_block(3080, -2, {}));
         put32(f, 1024, 3080);
         return f;
       },
       index_rule::block_twice, 3080},
      {"free list into the tree",
       [] { Bytes f = base_file(); place_block(f, 3080, encode_block(2056, -2, {})); put32(f, 1024, 3080); return f; },
       index_rule::block_twice, 2056},
      {"free-list head beyond the file", [] { Bytes f = base_file(); put32(f, 1024, 1032 + 70 * 1024); return f; },
       index_rule::free_position, -1},
      {"free block without its mark",
       [] { Bytes f = base_file(); place_block(f, 3080, encode_block(-1, -1, {})); put32(f, 1024, 3080); return f; },
       index_rule::free_marker, 3080},
      {"block with a wrong own position", [] { Bytes f = base_file(); put32(f, 1032, 2056); return f; },
       index_rule::blkpos_mismatch, 1032},
      {"leaves at two depths",
       [] { Bytes f = three_levels(); put32(f, 4104 + 8, -1); put32(f, 4104 + 12, -1); return f; },
       index_rule::leaf_depth, 4104},
      {"levels wrong", [] { Bytes f = base_file(); put32(f, 1028, 5); return f; }, index_rule::levels_mismatch, 0},
      {"block neither in the tree nor free", [] { Bytes f = base_file(); place_block(f, 3080, encode_block(3080, -1, {ent("k")})); return f; },
       index_rule::block_lost, 3080},
      {"length off the block grid", [] { Bytes f = base_file(); f.resize(f.size() + 10); return f; },
       index_rule::file_length, -1},
      {"empty block below the root", [] { Bytes f = base_file(); put32(f, 2056 + 4, 0); return f; },
       index_rule::empty_block, 2056},
      {"keys out of order",
       [] { Bytes f = base_file(); place_block(f, 2056, encode_block(2056, -1, {ent("n"), ent("B")})); return f; },
       index_rule::key_order, 2056},
      {"entry with a child in a leaf", [] { Bytes f = base_file(); put32(f, 1032 + 12, 2056); return f; },
       index_rule::child_in_leaf, 1032},
      {"chain deeper than the cursor",
       [] {
         // thirty blocks, each with one entry, each leftptr to the next
         Bytes f = encode_file(encode_block(0, 1032, {ent("zz", -1)}), -1, 31);
         for (int i = 0; i < 30; ++i) {
           int32_t pos = 1032 + i * 1024;
           place_block(f, pos, encode_block(pos, i < 29 ? pos + 1024 : -1, {ent(std::string(1, char('a' + i % 26)) + std::to_string(100 - i))}));
         }
         return f;
       },
       index_rule::too_deep, 1032 + 20 * 1024},
  };
}

class BplusDamage : public ::testing::TestWithParam<Damage> {};

// Everything a door might do with the file; it must end, without a crash.
void exercise(const std::string& name) {
  index_desc d;
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  index_entry e;
  int steps = 0;
  while (zv::next_key(&e, &d) == 1) ASSERT_LT(++steps, 100000);
  steps = 0;
  while (zv::prev_key(&e, &d) == 1) ASSERT_LT(++steps, 100000);
  for (const char* k : {"a", "c", "m", "q", "z", "zz", "", "A1", "t"}) {
    e = make_entry(k);
    zv::find_key(&e, &d);
    e = make_entry(k);
    zv::locate_key(&e, &d);
    e = make_entry(k);
    zv::find_exact(&e, &d);
  }
  for (int i = 0; i < 40; ++i) {
    e = make_entry(sized_key("k" + std::to_string(i), 60 + i % 40), i, i);
    zv::add_key(&e, &d);
  }
  for (int i = 0; i < 40; i += 2) {
    e = make_entry(sized_key("k" + std::to_string(i), 60 + i % 40), i, i);
    zv::delete_key(&e, &d);
  }
  for (const char* k : {"a", "n", "z", "m"}) {
    e = make_entry(k);
    zv::delete_key(&e, &d);
  }
  zv::first_key(&d);
  steps = 0;
  while (zv::next_key(&e, &d) == 1) ASSERT_LT(++steps, 100000);
  zv::close_index(&d);
}

TEST_P(BplusDamage, IsReportedAndHandledCleanly) {
  const Damage& c = GetParam();
  TempDir dir;
  std::string name = dir.file("d.idx");
  write_file(name, c.make());
  zv::index_check_report rep;
  EXPECT_EQ(zv::check_index(name.c_str(), 0, &rep), 0);
  EXPECT_EQ(rep.rule, c.rule) << rep.detail;
  EXPECT_EQ(rep.block, c.block) << rep.detail;
  EXPECT_NE(std::strstr(rep.detail, zv::index_rule_text(c.rule)), nullptr) << rep.detail;
  alarm(60);  // a loop would end the test here
  exercise(name);
  alarm(0);
}

INSTANTIATE_TEST_SUITE_P(Files, BplusDamage, ::testing::ValuesIn(damages()), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.name; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

TEST(BplusDamageEffects, ShortHeaderOpensAsAnEmptyIndexThatGrowsOnTheBlockGrid) {
  TempDir dir;
  std::string name = dir.file("s.idx");
  write_file(name, Bytes(500, 0x33));
  index_desc d;
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  index_entry e = make_entry("x");
  EXPECT_EQ(zv::next_key(&e, &d), -2);
  zv::close_index(&d);
  EXPECT_EQ(file_size(name), 500);  // only opened: nothing written
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  for (int i = 0; i < 30; ++i) {
    e = make_entry(sized_key("key" + std::to_string(i), 99), i);
    ASSERT_EQ(zv::add_key(&e, &d), 1);
  }
  zv::close_index(&d);
  zv::index_check_report rep;
  EXPECT_EQ(zv::check_index(name.c_str(), 0, &rep), 1) << rep.detail;
}

TEST(BplusDamageEffects, BlockWithAWrongOwnPositionIsWrittenBackWhereItWasRead) {
  TempDir dir;
  std::string name = dir.file("w.idx");
  Bytes f = base_file();
  put32(f, 1032, 2056);  // leaf 1032 claims to be 2056
  write_file(name, f);
  index_desc d;
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  index_entry e = make_entry("b", 7, 7);
  ASSERT_EQ(zv::add_key(&e, &d), 1);
  e = make_entry("q");
  ASSERT_EQ(zv::find_key(&e, &d), 1);  // the real 2056 is read, not the cached 1032
  zv::close_index(&d);
  Bytes g = read_file(name);
  EXPECT_EQ(Bytes(g.begin() + 2056, g.begin() + 3080), Bytes(f.begin() + 2056, f.begin() + 3080));
  RawBlock leaf = decode_block(g, 1032);
  EXPECT_EQ(leaf.blkpos, 1032);
  ASSERT_EQ(leaf.entries.size(), 4u);
  EXPECT_EQ(leaf.entries[1].key, "b");
  zv::index_check_report rep;
  EXPECT_EQ(zv::check_index(name.c_str(), 0, &rep), 1) << rep.detail;
}

TEST(BplusDamageEffects, FreeListLoopNeverHandsOutABlockTwice) {
  TempDir dir;
  std::string name = dir.file("l.idx");
  Bytes f = base_file();
  place_block(f, 3080, encode_block(4104, -2, {}));
  place_block(f, 4104, encode_block(3080, -2, {}));
  put32(f, 1024, 3080);
  write_file(name, f);
  index_desc d;
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  std::vector<std::string> keys;
  for (int i = 0; i < 60; ++i) {
    keys.push_back(sized_key("p" + std::to_string(100 + i), 99));
    index_entry e = make_entry(keys.back(), i);
    ASSERT_EQ(zv::add_key(&e, &d), 1);
  }
  zv::close_index(&d);
  zv::index_check_report rep;
  EXPECT_EQ(zv::check_index(name.c_str(), 0, &rep), 1) << rep.detail;
  EXPECT_EQ(rep.keys, 67);  // seven of the base file and sixty more
}

TEST(BplusDamageEffects, LevelCountAtTheEndsOfItsRangeStepsWithoutOverflow) {
  for (int32_t levels : {INT32_MAX, INT32_MIN}) {
    TempDir dir;
    std::string name = dir.file("v.idx");
    write_file(name, encode_file(encode_block(0, -1, {}), -1, levels));
    index_desc d;
    ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
    for (int i = 0; i < 10; ++i) {  // the tenth splits the root
      index_entry e = make_entry(sized_key("v" + std::to_string(i), 99), i);
      ASSERT_EQ(zv::add_key(&e, &d), 1);
    }
    EXPECT_EQ(static_cast<uint32_t>(d.header.levels), static_cast<uint32_t>(levels) + 1u);
    index_entry e = make_entry(sized_key("v9", 99));
    ASSERT_EQ(zv::delete_key(&e, &d), 1);  // merges the leaves, the root absorbs them
    EXPECT_EQ(d.header.levels, levels);
    zv::close_index(&d);
  }
}

// A key with no NUL in its 100 bytes: refused, never found, never read past.
TEST(BplusLongKeys, KeyWithoutNulIsRefusedAndNeverFound) {
  TempDir dir;
  std::string name = dir.file("k.idx");
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  std::string k99(99, 'a');
  index_entry e = make_entry(k99, 1, 2);
  ASSERT_EQ(zv::add_key(&e, &d), 1);
  e = make_entry("b", 3, 4);
  ASSERT_EQ(zv::add_key(&e, &d), 1);
  zv::close_index(&d);
  Bytes before = read_file(name);

  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  index_entry big;
  std::memset(&big, 'a', sizeof big);  // key of 100 'a' and no NUL
  index_entry keep = big;
  struct Op {
    const char* name;
    int (*fn)(index_entry*, index_desc*);
    int result;
  } ops[] = {{"add_key", zv::add_key, 0},   {"insert_ix", zv::insert_ix, 0}, {"find_key", zv::find_key, 0},
             {"locate_key", zv::locate_key, -2}, {"find_exact", zv::find_exact, 0}, {"delete_key", zv::delete_key, 0}};
  for (const auto& op : ops) {
    EXPECT_EQ(op.fn(&big, &d), op.result) << op.name;
    EXPECT_EQ(std::memcmp(&big, &keep, sizeof big), 0) << op.name;
  }
  EXPECT_EQ(zv::find_ix(&big, &d, 1), 0);
  e = make_entry(k99);
  ASSERT_EQ(zv::find_key(&e, &d), 1);
  EXPECT_EQ(e.reclen, 2);
  EXPECT_EQ(d.dirty, 0);
  zv::close_index(&d);
  EXPECT_EQ(read_file(name), before);
}

// Builds, from the format alone, a tree of `levels` levels whose right spine
// holds nine 112-byte entries per block and whose other blocks hold one entry:
// one more key at the right end splits every block up the spine.
struct DeepBuilder {
  Bytes file;
  int32_t next_pos = 1032;
  int counter = 0;
  std::string key(bool fat) {
    char b[16];
    std::snprintf(b, sizeof b, "%07d", counter++);
    return fat ? sized_key(b, 99) : std::string(b);
  }
  int32_t build(int height, bool spine, bool root) {
    int32_t pos = root ? 0 : next_pos;
    if (!root) next_pos += 1024;
    if (!root) place_block(file, pos, Bytes(1024, 0));
    int32_t left = height > 1 ? build(height - 1, false, false) : -1;
    std::vector<RawEntry> es;
    int n = spine ? 9 : 1;
    for (int i = 0; i < n; ++i) {
      RawEntry e;
      e.key = key(spine);
      e.recptr = counter;
      e.reclen = counter;
      e.childptr = height > 1 ? build(height - 1, spine && i == n - 1, false) : -1;
      es.push_back(e);
    }
    Bytes b = encode_block(root ? 0 : pos, left, es);
    if (root)
      std::memcpy(file.data(), b.data(), 1024);
    else
      place_block(file, pos, b);
    return pos;
  }
};

TEST(BplusDepth, TreesDeeperThanEightLevelsAreReadGrownAndShrunk) {
  TempDir dir;
  std::string name = dir.file("deep.idx");
  DeepBuilder b;
  b.file = encode_file(Bytes(1024, 0), -1, 9);
  b.build(9, true, true);
  write_file(name, b.file);
  zv::index_check_report rep;
  ASSERT_EQ(zv::check_index(name.c_str(), 0, &rep), 1) << rep.detail;
  ASSERT_EQ(rep.levels, 9);
  int total = b.counter;

  index_desc d;
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  EXPECT_EQ(d.level, 8);  // first_key went down to the leftmost leaf
  index_entry e;
  int n = 0;
  while (zv::next_key(&e, &d) == 1) {
    ASSERT_EQ(e.reclen, n + 1);
    ++n;
  }
  EXPECT_EQ(n, total);
  // A key after every other one: the split runs up the whole spine and the
  // tree gets its tenth level.
  e = make_entry(sized_key("9999999", 99), 1, 1);
  ASSERT_EQ(zv::add_key(&e, &d), 1);
  EXPECT_EQ(d.header.levels, 10);
  e = make_entry(sized_key("9999999", 99));
  EXPECT_EQ(zv::find_key(&e, &d), 1);
  zv::close_index(&d);
  ASSERT_EQ(zv::check_index(name.c_str(), 0, &rep), 1) << rep.detail;
  EXPECT_EQ(rep.levels, 10);
  EXPECT_EQ(rep.keys, total + 1);

  // Deleting from the left end merges up the tree until it is shallower.
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  for (int i = 0; i < total; i += 1) {
    char k[16];
    std::snprintf(k, sizeof k, "%07d", i);
    e = make_entry(k);
    if (zv::find_key(&e, &d) != 1) e = make_entry(sized_key(k, 99));
    ASSERT_EQ(zv::delete_key(&e, &d), 1) << k;
    if (i % 500 == 0) {
      zv::buffer_flush(&d);
      ASSERT_EQ(zv::check_index_fd(d.fd, 0, &rep), 1) << i << ": " << rep.detail;
    }
  }
  EXPECT_EQ(d.header.levels, 1);
  zv::close_index(&d);
  ASSERT_EQ(zv::check_index(name.c_str(), 0, &rep), 1) << rep.detail;
  EXPECT_EQ(rep.keys, 1);
}

}  // namespace
