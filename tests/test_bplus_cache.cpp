// The four-slot write-back cache shared by every open index: when changed
// blocks reach their file, which file, and that closed indexes leave nothing
// findable behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bplus.h"
#include "bplus_fixture.h"

using namespace zvtest;
using zv::index_desc;
using zv::index_entry;

namespace {

std::string key(char stem, int i) {
  char b[16];
  std::snprintf(b, sizeof b, "%c%03d", stem, i);
  return sized_key(b, 99);
}

// Builds a two-level index of 99-byte keys and returns the first key of
// every leaf, in leaf order.
std::vector<std::string> build(const std::string& name, char stem, int count) {
  index_desc d;
  EXPECT_EQ(zv::make_index(name.c_str(), &d, 0), 1);
  for (int i = 0; i < count; ++i) {
    index_entry e = make_entry(key(stem, i), i, i);
    EXPECT_EQ(zv::add_key(&e, &d), 1);
  }
  EXPECT_EQ(d.header.levels, 2);
  zv::close_index(&d);
  Bytes f = read_file(name);
  RawBlock root = decode_block(f, 0);
  std::vector<std::string> firsts{decode_block(f, static_cast<size_t>(root.leftptr)).entries.at(0).key};
  for (auto& e : root.entries) firsts.push_back(decode_block(f, static_cast<size_t>(e.childptr)).entries.at(0).key);
  return firsts;
}

Bytes block_on_file(const std::string& name, int32_t pos) {
  Bytes f = read_file(name);
  return Bytes(f.begin() + pos, f.begin() + pos + 1024);
}

class BplusCache : public ::testing::Test {
 protected:
  TempDir dir;
  std::string a = dir.file("a.idx"), b = dir.file("b.idx");
};

TEST_F(BplusCache, ChangedBlockGoesToItsOwnFileWhenTheFourthFetchTakesItsSlot) {
  build(a, 'a', 10);  // root [a004], leaves 2056 (a000..a003) and 1032 (a005..a009)
  std::vector<std::string> bleaves = build(b, 'b', 40);
  ASSERT_GE(bleaves.size(), 6u);

  index_desc da, db;
  ASSERT_EQ(zv::open_index(a.c_str(), &da, 0), 1);  // fetches a's leftmost leaf
  ASSERT_EQ(zv::open_index(b.c_str(), &db, 0), 1);  // fetches b's leftmost leaf
  Bytes before = block_on_file(a, 1032);
  index_entry e = make_entry(sized_key("a0065", 40), 1, 2);
  ASSERT_EQ(zv::add_key(&e, &da), 1);  // into leaf 1032, which stays in the cache
  EXPECT_EQ(block_on_file(a, 1032), before);

  for (int fetch = 1; fetch <= 4; ++fetch) {
    index_entry x = make_entry(bleaves[static_cast<size_t>(fetch)]);
    ASSERT_EQ(zv::find_key(&x, &db), 1);
    if (fetch < 4) {
      EXPECT_EQ(block_on_file(a, 1032), before) << "fetch " << fetch;
    }
  }
  RawBlock leaf = decode_block(read_file(a), 1032);
  ASSERT_EQ(leaf.entries.size(), 6u);
  EXPECT_EQ(leaf.entries[1].key, sized_key("a0065", 40));
  zv::close_index(&db);
  zv::close_index(&da);
}

TEST_F(BplusCache, CloseWritesOnlyItsOwnIndexAndLeavesTheOthersSlotsFilledAndDirty) {
  build(a, 'a', 10);
  std::vector<std::string> bleaves = build(b, 'b', 10);
  Bytes a0 = read_file(a), b0 = read_file(b);

  index_desc da, db;
  ASSERT_EQ(zv::open_index(a.c_str(), &da, 0), 1);
  ASSERT_EQ(zv::open_index(b.c_str(), &db, 0), 1);
  index_entry e = make_entry(sized_key("a0011", 30), 1, 1);
  ASSERT_EQ(zv::add_key(&e, &da), 1);  // a's left leaf
  e = make_entry(sized_key("b0066", 30), 2, 2);
  ASSERT_EQ(zv::add_key(&e, &db), 1);  // b's right leaf
  EXPECT_EQ(da.dirty, 0);

  zv::close_index(&da);
  Bytes a1 = read_file(a);
  EXPECT_NE(a1, a0);
  EXPECT_EQ(Bytes(a1.begin(), a1.begin() + 1032), Bytes(a0.begin(), a0.begin() + 1032));  // header clean
  EXPECT_EQ(read_file(b), b0);

  // b's leaf is still cached: spoil it on file and it is still found, and
  // closing b writes the cached block over the spoiled one.
  Bytes spoiled = b0;
  std::memset(spoiled.data() + 1032 + 12, '#', 1012);
  write_file(b, spoiled);
  e = make_entry(bleaves[1]);
  ASSERT_EQ(zv::find_key(&e, &db), 1);
  zv::close_index(&db);
  zv::index_check_report rep;
  EXPECT_EQ(zv::check_index(b.c_str(), 0, &rep), 1) << rep.detail;
  e = make_entry(sized_key("b0066", 30));
  ASSERT_EQ(zv::open_index(b.c_str(), &db, 0), 1);
  EXPECT_EQ(zv::find_key(&e, &db), 1);
  zv::close_index(&db);
}

TEST_F(BplusCache, ClosingWritesTheHeaderOnlyWhenItChanged) {
  index_desc d;
  ASSERT_EQ(zv::make_index(a.c_str(), &d, 0), 1);
  index_entry e = make_entry("one", 1, 1);
  ASSERT_EQ(zv::add_key(&e, &d), 1);
  EXPECT_EQ(d.dirty, 1);
  EXPECT_EQ(get32(read_file(a), 4), 0);
  zv::buffer_flush(&d);
  EXPECT_EQ(d.dirty, 0);
  EXPECT_EQ(get32(read_file(a), 4), 16);  // flushed, index still open
  e = make_entry("ONE");
  ASSERT_EQ(zv::find_key(&e, &d), 1);
  zv::close_index(&d);
  EXPECT_EQ(d.fd, -1);
  EXPECT_EQ(zv::close_index(&d), 1);  // a second close is harmless
}

TEST_F(BplusCache, NoSlotOfAClosedIndexIsHitAgainEvenUnderTheSameFileNumber) {
  std::vector<std::string> aleaves = build(a, 'a', 10);
  std::vector<std::string> bleaves = build(b, 'b', 10);  // same shape, other keys
  index_desc d;
  ASSERT_EQ(zv::open_index(a.c_str(), &d, 0), 1);
  index_entry e = make_entry(aleaves[1]);
  ASSERT_EQ(zv::find_key(&e, &d), 1);  // a's block 1032 now cached
  int fd = d.fd;
  zv::close_index(&d);
  ASSERT_EQ(zv::open_index(b.c_str(), &d, 0), 1);
  ASSERT_EQ(d.fd, fd);  // the same number again
  e = make_entry(bleaves[1]);
  EXPECT_EQ(zv::find_key(&e, &d), 1);
  e = make_entry(aleaves[1]);
  EXPECT_EQ(zv::find_key(&e, &d), 0);
  zv::close_index(&d);
}

// An index open on descriptor 0 never meets the blocks of released slots
// (blocks freed by merges): a random workload stays correct.
TEST_F(BplusCache, IndexOnFileNumberZeroIsNotConfusedByReleasedSlots) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(0);
    index_desc d;
    if (zv::make_index(a.c_str(), &d, 0) != 1 || d.fd != 0) _exit(10);
    std::mt19937 rng(3);
    std::set<std::string> model;
    for (int i = 0; i < 6000; ++i) {
      char k[24];
      std::snprintf(k, sizeof k, "K%04u", static_cast<unsigned>(rng() % 700));
      std::string key5 = sized_key(k, 5 + rng() % 90);
      index_entry e = make_entry(key5, 1, 1);
      if (rng() % 3) {
        int r = zv::add_key(&e, &d);
        if (r != (model.count(key5) ? 0 : 1)) _exit(11);
        model.insert(key5);
      } else {
        int r = zv::delete_key(&e, &d);
        if (r != (model.count(key5) ? 1 : 0)) _exit(12);
        model.erase(key5);
      }
    }
    for (auto& k : model) {
      index_entry e = make_entry(k);
      if (zv::find_key(&e, &d) != 1) _exit(13);
    }
    zv::close_index(&d);
    zv::index_check_report rep;
    _exit(zv::check_index(a.c_str(), 0, &rep) == 1 ? 0 : 14);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
