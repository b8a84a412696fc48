// The index allocates nothing from the heap: not to make, open, change,
// search, walk, check or close an index.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alloc_counter.h"
#include "bplus.h"
#include "bplus_fixture.h"

using namespace zvtest;

namespace {

TEST(BplusAlloc, EveryPathRunsWithoutTheHeap) {
  ZV_REQUIRE_ALLOC_COUNTING();
  TempDir dir;
  std::string a = dir.file("a.idx"), b = dir.file("b.idx");
  std::vector<zv::index_entry> entries;
  for (int i = 0; i < 2000; ++i)
    entries.push_back(make_entry(sized_key("k" + std::to_string((i * 7919) % 2000), 5 + (i * 37) % 95), i, i));
  zv::index_entry miss = make_entry("not there"), out;
  zv::index_check_report rep;
  int results = 0;
  long allocations = -1;
  {
    AllocCounter counter;
    zv::index_desc da, db;
    results += zv::make_index(a.c_str(), &da, 0);
    results += zv::make_index(b.c_str(), &db, 1);
    for (auto& e : entries) {
      zv::index_entry x = e;
      results += zv::add_key(&x, &da);
      x = e;
      results += zv::add_key(&x, &db);
    }
    zv::close_index(&da);
    results += zv::open_index(a.c_str(), &da, 0);
    for (auto& e : entries) {
      zv::index_entry x = e;
      results += zv::find_key(&x, &da);
      x = e;
      results += zv::locate_key(&x, &db);
      x = e;
      results += zv::find_exact(&x, &db);
    }
    zv::locate_key(&miss, &da);
    zv::first_key(&da);
    while (zv::next_key(&out, &da) == 1) ++results;
    zv::last_key(&db);
    while (zv::prev_key(&out, &db) == 1) ++results;
    for (auto& e : entries) {
      zv::index_entry x = e;
      results += zv::delete_key(&x, &da);
    }
    zv::buffer_flush(&db);
    results += zv::check_index_fd(db.fd, 1, &rep);
    zv::close_index(&da);
    zv::close_index(&db);
    results += zv::check_index(a.c_str(), 0, &rep);
    allocations = counter.count();
  }
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(results, 2 + 4000 + 1 + 6000 + 4000 + 2000 + 1 + 1);
}

}  // namespace
