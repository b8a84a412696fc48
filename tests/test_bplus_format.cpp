// The index file byte for byte: making, splitting, merging, the free list,
// duplicates, lookups, and files built by hand from the format.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bplus.h"
#include "bplus_fixture.h"

using namespace zvtest;
using zv::index_desc;
using zv::index_entry;

namespace {

class BplusFile : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = dir.file("t.idx");

  // Keys "kN" padded to `n` bytes, so each entry takes 13 + n bytes.
  static std::string k(int i, size_t n = 99) {
    char stem[16];
    std::snprintf(stem, sizeof stem, "k%03d", i);
    return sized_key(stem, n);
  }
  static void add(index_desc* d, const std::string& key, int32_t rp = 0, int32_t rl = 0) {
    index_entry e = make_entry(key, rp, rl);
    ASSERT_EQ(zv::add_key(&e, d), 1) << key;
  }
  static std::vector<std::string> keys_forward(index_desc* d) {
    std::vector<std::string> out;
    index_entry e;
    zv::first_key(d);
    while (zv::next_key(&e, d) == 1) out.push_back(key_of(e));
    return out;
  }
  static std::vector<std::string> keys_backward(index_desc* d) {
    std::vector<std::string> out;
    index_entry e;
    zv::last_key(d);
    while (zv::prev_key(&e, d) == 1) out.push_back(key_of(e));
    return out;
  }
  void expect_sound(int dups = 0) {
    zv::index_check_report rep;
    EXPECT_EQ(zv::check_index(name.c_str(), dups, &rep), 1) << rep.detail;
  }
};

TEST_F(BplusFile, MakeThenCloseLeavesTheEmptyHeaderOnly) {
  index_desc d;
  std::memset(&d, 0x5a, sizeof d);  // what the caller's memory held does not matter
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  EXPECT_EQ(d.level, 0);
  EXPECT_EQ(d.path[0].entpos, -1);
  ASSERT_EQ(zv::close_index(&d), 1);
  Bytes f = read_file(name);
  ASSERT_EQ(f.size(), 1032u);
  EXPECT_EQ(get32(f, 0), 0);      // root blkpos
  EXPECT_EQ(get32(f, 4), 0);      // used
  EXPECT_EQ(get32(f, 8), -1);     // leftptr
  EXPECT_EQ(get32(f, 1024), -1);  // free-list head
  EXPECT_EQ(get32(f, 1028), 1);   // levels
  struct stat st;
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u & ~[] { mode_t m = umask(0); umask(m); return m; }());
  expect_sound();
}

TEST_F(BplusFile, MakeEmptiesAnExistingFileAndReportsACreateFailure) {
  write_file(name, Bytes(5000, 0x41));
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  EXPECT_EQ(file_size(name), 1032);
  zv::close_index(&d);

  index_desc bad;
  EXPECT_EQ(zv::make_index(dir.file("no/such/dir/x.idx").c_str(), &bad, 0), 0);
  EXPECT_EQ(bad.fd, -1);
  index_entry e = make_entry("a");
  EXPECT_EQ(zv::add_key(&e, &bad), 1);  // harmless on a descriptor without a file
  EXPECT_EQ(zv::close_index(&bad), 1);
}

TEST_F(BplusFile, OpenOfAMissingFileFailsAndCreatesNothing) {
  index_desc d;
  EXPECT_EQ(zv::open_index(name.c_str(), &d, 0), 0);
  EXPECT_EQ(d.fd, -1);
  EXPECT_EQ(file_size(name), -1);
}

TEST_F(BplusFile, EmptyIndexFindsNothingAndLeavesTheEntryAlone) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  index_entry e = make_entry("zz", 7, 8), keep = e;
  EXPECT_EQ(zv::next_key(&e, &d), -2);
  EXPECT_EQ(zv::prev_key(&e, &d), -2);
  EXPECT_EQ(zv::find_key(&e, &d), 0);
  EXPECT_EQ(zv::locate_key(&e, &d), -2);
  EXPECT_EQ(zv::find_exact(&e, &d), 0);
  EXPECT_EQ(zv::delete_key(&e, &d), 0);
  EXPECT_EQ(std::memcmp(&e, &keep, sizeof e), 0);
  zv::close_index(&d);
  EXPECT_EQ(file_size(name), 1032);
}

TEST_F(BplusFile, LocateKeyHandsBackTheStoredKeyOrTheNextGreater) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  add(&d, "Alpha", 100, 20);
  struct Case {
    const char* key;
    int result;
    const char* back;
  } cases[] = {{"alpha", 1, "Alpha"}, {"ALPHA", 1, "Alpha"}, {"A", 0, "Alpha"}, {"", 0, "Alpha"},
               {"Alph", 0, "Alpha"},  {"alphab", -2, nullptr}, {"B", -2, nullptr}};
  for (const auto& c : cases) {
    index_entry e = make_entry(c.key, -9, -9);
    EXPECT_EQ(zv::locate_key(&e, &d), c.result) << c.key;
    if (c.back) {
      EXPECT_EQ(key_of(e), c.back) << c.key;
      EXPECT_EQ(e.recptr, 100);
      EXPECT_EQ(e.reclen, 20);
    } else {
      EXPECT_EQ(key_of(e), c.key);
      EXPECT_EQ(e.recptr, -9);
    }
  }
  index_entry e;
  zv::first_key(&d);
  EXPECT_EQ(zv::prev_key(&e, &d), -2);
  zv::last_key(&d);
  EXPECT_EQ(zv::next_key(&e, &d), -2);
  EXPECT_EQ(zv::next_key(&e, &d), -2);
  EXPECT_EQ(zv::prev_key(&e, &d), 1);
  EXPECT_EQ(key_of(e), "Alpha");
  zv::close_index(&d);
}

TEST_F(BplusFile, PrevKeyRightAfterOpenIsAtTheStart) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  for (int i = 0; i < 30; ++i) add(&d, k(i));
  zv::close_index(&d);
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  index_entry e;
  EXPECT_EQ(zv::prev_key(&e, &d), -2);
  EXPECT_EQ(zv::next_key(&e, &d), 1);
  EXPECT_EQ(key_of(e), k(0));
  zv::close_index(&d);
}

// Ten 112-byte entries: nine fill the root to 1008 bytes, the tenth splits it.
TEST_F(BplusFile, FirstRootSplitPutsTheRightHalfAt1032AndTheLeftAt2056) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  for (int i = 0; i < 9; ++i) add(&d, k(i), 1000 + i, 2000 + i);
  EXPECT_EQ(file_size(name), 1032);  // the root lives in the descriptor
  add(&d, k(9), 1009, 2009);

  // Both new blocks are on file at once; the header only after close.
  Bytes before = read_file(name);
  ASSERT_EQ(before.size(), 3080u);
  EXPECT_EQ(get32(before, 1028), 1);
  EXPECT_EQ(d.header.levels, 2);
  zv::close_index(&d);

  Bytes f = read_file(name);
  ASSERT_EQ(f.size(), 3080u);
  EXPECT_EQ(get32(f, 1024), -1);
  EXPECT_EQ(get32(f, 1028), 2);
  RawBlock root = decode_block(f, 0);
  EXPECT_EQ(root.blkpos, 0);
  EXPECT_EQ(root.leftptr, 2056);
  ASSERT_EQ(root.entries.size(), 1u);
  EXPECT_EQ(root.used, 112);
  // used 1008: the split offset is the last entry starting before 508 (448),
  // so k04 goes up and the new key lands in the right half.
  EXPECT_EQ(root.entries[0].key, k(4));
  EXPECT_EQ(root.entries[0].childptr, 1032);
  EXPECT_EQ(root.entries[0].recptr, 1004);
  EXPECT_EQ(root.entries[0].reclen, 2004);

  RawBlock right = decode_block(f, 1032), left = decode_block(f, 2056);
  EXPECT_EQ(right.blkpos, 1032);
  EXPECT_EQ(right.leftptr, -1);
  EXPECT_EQ(right.used, 560);
  EXPECT_EQ(left.blkpos, 2056);
  EXPECT_EQ(left.leftptr, -1);
  EXPECT_EQ(left.used, 448);
  std::vector<std::string> lk, rk;
  for (auto& e : left.entries) lk.push_back(e.key);
  for (auto& e : right.entries) {
    rk.push_back(e.key);
    EXPECT_EQ(e.childptr, -1);
  }
  EXPECT_EQ(lk, (std::vector<std::string>{k(0), k(1), k(2), k(3)}));
  EXPECT_EQ(rk, (std::vector<std::string>{k(5), k(6), k(7), k(8), k(9)}));
  expect_sound();
}

TEST_F(BplusFile, NewEntryAtTheSplitOffsetGoesUpItself) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  for (int i : {0, 1, 2, 3, 5, 6, 7, 8, 9}) add(&d, k(i), i);
  add(&d, k(4), 4);  // insertion offset 448 equals the split offset
  zv::close_index(&d);
  Bytes f = read_file(name);
  RawBlock root = decode_block(f, 0);
  ASSERT_EQ(root.entries.size(), 1u);
  EXPECT_EQ(root.entries[0].key, k(4));
  EXPECT_EQ(root.entries[0].recptr, 4);
  EXPECT_EQ(decode_block(f, 2056).used, 448);  // k00..k03
  EXPECT_EQ(decode_block(f, 1032).used, 560);  // k05..k09
  expect_sound();
}

TEST_F(BplusFile, ExactlyFullBlockDoesNotSplitOneByteMoreDoes) {
  for (int extra : {0, 1}) {
    index_desc d;
    ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
    // nine entries of 100 bytes (one of 101 when extra) and one of 112
    for (int i = 0; i < 9; ++i) add(&d, k(i, i == 0 ? 87u + extra : 87u));
    add(&d, k(9, 99));
    // 1013 bytes: the split offset is the entry at 401, a 100-byte one, that goes up
    EXPECT_EQ(d.header.root.used, extra ? 100 : 1012) << extra;
    EXPECT_EQ(d.header.levels, extra ? 2 : 1);
    zv::close_index(&d);
    EXPECT_EQ(file_size(name), extra ? 3080 : 1032);
    expect_sound();
  }
}

TEST_F(BplusFile, EqualKeyInOtherCaseIsRefusedAndChangesNothing) {
  auto refuse = [&](index_desc* d) {
    for (const char* key : {"K005", "k005", "K039"}) {
      index_entry e = make_entry(sized_key(key, key[3] == '5' ? 25 : 59), 77, 77);
      EXPECT_EQ(zv::add_key(&e, d), 0) << key;
    }
    index_entry e = make_entry(sized_key("K005", 25));
    ASSERT_EQ(zv::find_key(&e, d), 1);
    EXPECT_EQ(key_of(e), k(5, 25));  // the stored case is kept
    EXPECT_EQ(e.recptr, 5);
  };
  // In the same session as the additions: the same file, significant bytes.
  Bytes made[2];
  for (int attempt : {0, 1}) {
    std::string file = dir.file(attempt ? "b.idx" : "a.idx");
    index_desc d;
    ASSERT_EQ(zv::make_index(file.c_str(), &d, 0), 1);
    for (int i = 0; i < 40; ++i) add(&d, k(i, 20 + i), i);
    if (attempt) refuse(&d);
    zv::close_index(&d);
    made[attempt] = significant(read_file(file));
  }
  EXPECT_EQ(made[0], made[1]);
  // On a clean index: nothing at all is written.
  Bytes before = read_file(dir.file("a.idx"));
  index_desc d;
  ASSERT_EQ(zv::open_index(dir.file("a.idx").c_str(), &d, 0), 1);
  refuse(&d);
  EXPECT_EQ(d.dirty, 0);
  zv::close_index(&d);
  EXPECT_EQ(read_file(dir.file("a.idx")), before);
}

TEST_F(BplusFile, DuplicatesReadBackNewestFirstAndFindExactMatchesRecptr) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 1), 1);
  add(&d, "before", 9);
  for (int32_t r : {1, 2, 3}) add(&d, "Same", r, 10 * r);
  add(&d, "zafter", 9);
  index_entry e = make_entry("SAME");
  ASSERT_EQ(zv::find_key(&e, &d), 1);
  EXPECT_EQ(e.recptr, 3);
  EXPECT_EQ(key_of(e), "Same");

  std::vector<int32_t> order;
  zv::first_key(&d);
  while (zv::next_key(&e, &d) == 1) order.push_back(e.recptr);
  EXPECT_EQ(order, (std::vector<int32_t>{9, 3, 2, 1, 9}));

  struct Case {
    int32_t recptr;
    int result;
  } cases[] = {{1, 1}, {2, 1}, {3, 1}, {4, 0}, {9, 0}};
  for (const auto& c : cases) {
    index_entry x = make_entry("same", c.recptr, -1);
    EXPECT_EQ(zv::find_exact(&x, &d), c.result) << c.recptr;
    if (c.result) {
      EXPECT_EQ(x.reclen, 10 * c.recptr);
      EXPECT_EQ(key_of(x), "Same");
      index_entry n;
      if (c.recptr > 1) {
        ASSERT_EQ(zv::next_key(&n, &d), 1);  // the cursor is on the match
        EXPECT_EQ(n.recptr, c.recptr - 1);
      }
    }
  }
  // delete_key removes only the entry whose recptr matches
  index_entry x = make_entry("same", 4);
  EXPECT_EQ(zv::delete_key(&x, &d), 0);
  x = make_entry("same", 2);
  EXPECT_EQ(zv::delete_key(&x, &d), 1);
  ASSERT_EQ(zv::next_key(&e, &d), 1);  // the first remaining equal key
  EXPECT_EQ(e.recptr, 3);
  order.clear();
  zv::first_key(&d);
  while (zv::next_key(&e, &d) == 1) order.push_back(e.recptr);
  EXPECT_EQ(order, (std::vector<int32_t>{9, 3, 1, 9}));
  zv::close_index(&d);
  expect_sound(1);
}

TEST_F(BplusFile, WithoutDuplicatesDeleteIgnoresRecptr) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  add(&d, "one", 1);
  add(&d, "two", 2);
  index_entry e = make_entry("ONE", 12345);
  EXPECT_EQ(zv::find_exact(&e, &d), 1);
  EXPECT_EQ(e.recptr, 12345);  // handed back unchanged without duplicates
  EXPECT_EQ(zv::delete_key(&e, &d), 1);
  EXPECT_EQ(zv::delete_key(&e, &d), 0);
  ASSERT_EQ(zv::next_key(&e, &d), 1);  // the smallest key greater than it
  EXPECT_EQ(key_of(e), "two");
  zv::close_index(&d);
}

TEST_F(BplusFile, SearchingAndWalkingChangeNoByteOfTheFile) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  std::mt19937 rng(5);
  std::vector<std::string> keys;
  for (int i = 0; i < 600; ++i) {
    keys.push_back("key" + std::to_string(rng() % 100000) + std::string(rng() % 60, 'q'));
    index_entry e = make_entry(keys.back(), i, i);
    zv::add_key(&e, &d);
  }
  zv::close_index(&d);
  Bytes before = read_file(name);
  struct stat st0;
  ASSERT_EQ(stat(name.c_str(), &st0), 0);

  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  index_entry e;
  for (auto& key : keys) {
    e = make_entry(key);
    EXPECT_EQ(zv::find_key(&e, &d), 1);
    e = make_entry(key + "!");
    zv::locate_key(&e, &d);
    e = make_entry(key);
    zv::find_exact(&e, &d);
  }
  keys_forward(&d);
  keys_backward(&d);
  index_entry gone = make_entry("not there");
  EXPECT_EQ(zv::delete_key(&gone, &d), 0);
  EXPECT_EQ(d.dirty, 0);
  zv::close_index(&d);
  struct stat st1;
  ASSERT_EQ(stat(name.c_str(), &st1), 0);
  EXPECT_EQ(read_file(name), before);
  EXPECT_EQ(st1.st_mtim.tv_sec, st0.st_mtim.tv_sec);
  EXPECT_EQ(st1.st_mtim.tv_nsec, st0.st_mtim.tv_nsec);
}

TEST_F(BplusFile, AscendingKeysWalkInOrderBothWaysIncludingSeparators) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) {
    char b[32];
    std::snprintf(b, sizeof b, "Key%05d", i);
    keys.push_back(sized_key(b, 8 + i % 70, 'a' + i % 26));
    add(&d, keys.back(), i);
  }
  EXPECT_GE(d.header.levels, 3);
  EXPECT_EQ(keys_forward(&d), keys);
  std::vector<std::string> rev(keys.rbegin(), keys.rend());
  EXPECT_EQ(keys_backward(&d), rev);
  zv::close_index(&d);
  expect_sound();
  EXPECT_EQ(walk_file(read_file(name)).size(), keys.size());
}

TEST_F(BplusFile, KeyFoundInAnInteriorBlockContinuesUnderItsChild) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  for (int i = 0; i < 10; ++i) add(&d, k(i));
  index_entry e = make_entry(k(4));  // the separator in the root
  ASSERT_EQ(zv::find_key(&e, &d), 1);
  EXPECT_EQ(d.level, 0);
  ASSERT_EQ(zv::next_key(&e, &d), 1);
  EXPECT_EQ(key_of(e), k(5));
  e = make_entry(k(4));
  ASSERT_EQ(zv::find_key(&e, &d), 1);
  ASSERT_EQ(zv::prev_key(&e, &d), 1);
  EXPECT_EQ(key_of(e), k(3));
  zv::close_index(&d);
}

// The ten-key index of the split test: root [k04], left k00..k03 at 2056,
// right k05..k09 at 1032.
TEST_F(BplusFile, TwoLeavesMergeAndTheRootTakesTheMergedBlockOver) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  for (int i = 0; i < 10; ++i) add(&d, k(i), i);
  zv::close_index(&d);
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  index_entry e = make_entry(k(9));
  // The right leaf drops to 448 bytes: with the separator and the left leaf
  // that is 1008 bytes, so the two merge and the root is left empty.
  ASSERT_EQ(zv::delete_key(&e, &d), 1);
  EXPECT_EQ(d.header.levels, 1);
  EXPECT_EQ(d.header.freelist, 2056);
  zv::close_index(&d);

  Bytes f = read_file(name);
  ASSERT_EQ(f.size(), 3080u);  // the file never shrinks
  EXPECT_EQ(get32(f, 1024), 2056);
  EXPECT_EQ(get32(f, 1028), 1);
  RawBlock root = decode_block(f, 0);
  EXPECT_EQ(root.blkpos, 2056);  // the absorbed child's former position
  EXPECT_EQ(root.leftptr, -1);
  EXPECT_EQ(root.used, 1008);
  std::vector<std::string> got;
  for (auto& x : root.entries) got.push_back(x.key);
  EXPECT_EQ(got, (std::vector<std::string>{k(0), k(1), k(2), k(3), k(4), k(5), k(6), k(7), k(8)}));
  // 1032 was freed first, 2056 last and heads the list.
  EXPECT_EQ(get32(f, 2056), 1032);
  EXPECT_EQ(get32(f, 2056 + 8), -2);
  EXPECT_EQ(get32(f, 1032), -1);
  EXPECT_EQ(get32(f, 1032 + 8), -2);
  expect_sound();

  // The next splits take 2056, then 1032, before the file grows.
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  add(&d, k(9));
  EXPECT_EQ(d.header.freelist, -1);
  EXPECT_EQ(file_size(name), 3080);
  add(&d, k(10));
  for (int i = 11; i < 20; ++i) add(&d, k(i));
  zv::close_index(&d);
  f = read_file(name);
  EXPECT_EQ(decode_block(f, 0).leftptr, 1032);  // the new root's left half
  EXPECT_EQ(decode_block(f, 0).entries.at(0).childptr, 2056);
  EXPECT_GT(f.size(), 3080u);
  expect_sound();
}

TEST_F(BplusFile, RemovingTheLastKeyOfARootOnlyIndexWritesAtCloseOnly) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  add(&d, "only", 1, 2);
  zv::close_index(&d);
  Bytes before = read_file(name);
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  index_entry e = make_entry("ONLY");
  ASSERT_EQ(zv::delete_key(&e, &d), 1);
  EXPECT_EQ(read_file(name), before);
  zv::close_index(&d);
  Bytes f = read_file(name);
  EXPECT_EQ(get32(f, 4), 0);
  EXPECT_EQ(f.size(), 1032u);
}

TEST_F(BplusFile, DeletingEveryKeyLeavesARootOnlyIndexAndEveryBlockFree) {
  for (int dups : {0, 1}) {
    index_desc d;
    ASSERT_EQ(zv::make_index(name.c_str(), &d, dups), 1);
    std::mt19937 rng(11 + dups);
    std::vector<index_entry> all;
    for (int i = 0; i < 1500; ++i) {
      // Keys of one length: a successor then always fits where its
      // predecessor was, so no split happens while deleting.
      char b[24];
      std::snprintf(b, sizeof b, "K%07u", static_cast<unsigned>(rng() % (dups ? 300 : 1000000)));
      std::string key = sized_key(b, 40, 'z');
      index_entry e = make_entry(key, i, i);
      if (zv::add_key(&e, &d) == 1) all.push_back(e);
    }
    zv::close_index(&d);
    long size = file_size(name);
    ASSERT_GT(size, 100 * 1024);
    ASSERT_EQ(zv::open_index(name.c_str(), &d, dups), 1);
    std::shuffle(all.begin(), all.end(), rng);
    for (auto& e : all) ASSERT_EQ(zv::delete_key(&e, &d), 1) << key_of(e);
    zv::close_index(&d);
    EXPECT_EQ(file_size(name), size);
    Bytes f = read_file(name);
    EXPECT_EQ(get32(f, 4), 0);
    EXPECT_EQ(get32(f, 1028), 1);
    zv::index_check_report rep;
    ASSERT_EQ(zv::check_index(name.c_str(), dups, &rep), 1) << rep.detail;
    EXPECT_EQ(rep.free_blocks, rep.blocks);
    EXPECT_EQ(rep.keys, 0);
  }
}

TEST_F(BplusFile, DeletingAnInteriorKeyLeavesItsSuccessorInItsPlace) {
  index_desc d;
  ASSERT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  std::vector<std::string> keys;
  for (int i = 0; i < 400; ++i) {
    keys.push_back(k(i, 30 + (i * 7) % 60));
    add(&d, keys.back(), i);
  }
  // Delete the root's separators one after another.
  for (int round = 0; round < 40; ++round) {
    const zv::index_block& root = d.header.root;
    ASSERT_GT(root.used, 0);
    std::string sep(root.entries + 12);
    int32_t child = 0;
    std::memcpy(&child, root.entries, 4);
    ASSERT_NE(child, -1);
    index_entry e = make_entry(sep);
    ASSERT_EQ(zv::delete_key(&e, &d), 1);
    keys.erase(std::find(keys.begin(), keys.end(), sep));
    ASSERT_EQ(keys_forward(&d), keys) << round;
    auto it = std::upper_bound(keys.begin(), keys.end(), sep);
    if (d.header.root.used > 0 && d.header.levels > 1 && it != keys.end() && round < 3) {
      // the successor in key order is now the root's first entry or below
      e = make_entry(*it);
      EXPECT_EQ(zv::find_key(&e, &d), 1);
    }
  }
  zv::close_index(&d);
  expect_sound();
}

// A three-level index built from the format alone, as another program would.
TEST_F(BplusFile, FileMadeElsewhereIsReadAndChangedCorrectly) {
  auto ent = [](const std::string& key, int32_t child, int32_t rp) { return RawEntry{child, rp, rp * 2, key}; };
  // leaves at 1032.., interior at 6152.., root above
  Bytes f = encode_file(encode_block(0, 7176, {ent("Mango", 6152, 50)}), -1, 3);
  place_block(f, 1032, encode_block(1032, -1, {ent("apple", -1, 10), ent("Apricot", -1, 11)}));
  place_block(f, 2056, encode_block(2056, -1, {ent("Cherry", -1, 30)}));
  place_block(f, 3080, encode_block(3080, -1, {ent("kiwi", -1, 45), ent("LEMON", -1, 46)}));
  place_block(f, 4104, encode_block(4104, -1, {ent("Nectarine", -1, 60)}));
  place_block(f, 5128, encode_block(5128, -1, {ent("Plum", -1, 80), ent("quince", -1, 81)}));
  place_block(f, 6152, encode_block(6152, 4104, {ent("Orange", 5128, 70)}));
  place_block(f, 7176, encode_block(7176, 1032, {ent("banana", 2056, 20), ent("Grape", 3080, 40)}));
  write_file(name, f);
  expect_sound();

  index_desc d;
  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  std::vector<std::string> want = {"apple", "Apricot", "banana", "Cherry", "Grape", "kiwi", "LEMON",
                                   "Mango", "Nectarine", "Orange", "Plum", "quince"};
  EXPECT_EQ(keys_forward(&d), want);
  for (auto& w : want) {
    std::string upper = w;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    index_entry e = make_entry(upper);
    ASSERT_EQ(zv::locate_key(&e, &d), 1) << w;
    EXPECT_EQ(key_of(e), w);
    EXPECT_EQ(e.reclen, 2 * e.recptr);
  }
  index_entry e = make_entry("fig");
  ASSERT_EQ(zv::locate_key(&e, &d), 0);
  EXPECT_EQ(key_of(e), "Grape");
  zv::close_index(&d);
  EXPECT_EQ(read_file(name), f);  // only searched: nothing written

  ASSERT_EQ(zv::open_index(name.c_str(), &d, 0), 1);
  for (const char* key : {"Mango", "banana", "kiwi"}) {
    index_entry x = make_entry(key);
    ASSERT_EQ(zv::delete_key(&x, &d), 1) << key;
  }
  add(&d, "Damson", 90);
  zv::close_index(&d);
  expect_sound();
  std::vector<std::string> got;
  for (auto& x : walk_file(read_file(name))) got.push_back(x.key);
  EXPECT_EQ(got, (std::vector<std::string>{"apple", "Apricot", "Cherry", "Damson", "Grape", "LEMON",
                                           "Nectarine", "Orange", "Plum", "quince"}));
}

TEST_F(BplusFile, ErrorPrintsTheFixedTexts) {
  struct Case {
    int no;
    long rec;
    const char* out;
  } cases[] = {{0, 3, "\n  ERROR - CANNOT OPEN/CLOSE FILE - Record Number 3\n"},
               {1, -1, "\n  ERROR WHILE READING FILE - Record Number -1\n"},
               {2, 70000, "\n  ERROR WHILE WRITING FILE - Record Number 70000\n"},
               {3, 1, ""},
               {-1, 1, ""}};
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    zv::error(c.no, c.rec);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
  }
}

TEST(BplusKeys, CompareFoldsOnlyAsciiLettersAndUsesUnsignedBytes) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {{"abc", "ABC", 0},  {"a", "B", -1},      {"Z", "a", 1},  {"ab", "abc", -1}, {"", "", 0},
               {"_", "a", -1},     {"_", "A", -1},      {"[", "a", -1}, {"\xe9", "z", 1},  {"\xc9", "\xe9", -1},
               {"key1", "KEY10", -1}, {"@", "`", -1}};
  for (const auto& c : cases) {
    int r = zv::key_compare(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  }
}

}  // namespace
