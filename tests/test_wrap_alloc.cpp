// The word wrapper allocates nothing; and the allocation counter that shows
// it really sees allocations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "alloc_counter.h"
#include "wrap.h"

namespace {

// Keeps the compiler from removing an allocation whose result is unused.
void* volatile g_sink = nullptr;

// Valgrind replaces the allocation functions wholesale, counter and all.
bool under_valgrind() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

TEST(AllocCounter, SeesEveryKindOfAllocation) {
  if (under_valgrind()) GTEST_SKIP() << "valgrind owns the allocator";
  EXPECT_TRUE(zvtest::AllocCounter::available());
  long steps[9] = {};
  {
    zvtest::AllocCounter counter;
    steps[0] = counter.count();
    g_sink = std::malloc(24);
    std::free(g_sink);
    steps[1] = counter.count();
    g_sink = std::calloc(3, 8);
    std::free(g_sink);
    steps[2] = counter.count();
    g_sink = std::realloc(nullptr, 40);
    std::free(g_sink);
    steps[3] = counter.count();
    g_sink = ::operator new(32);
    ::operator delete(g_sink);
    steps[4] = counter.count();
    g_sink = ::operator new[](32);
    ::operator delete[](g_sink);
    steps[5] = counter.count();
    g_sink = ::operator new(64, std::align_val_t{64});
    ::operator delete(g_sink, std::align_val_t{64});
    steps[6] = counter.count();
    g_sink = ::strdup("allocated inside the C library");
    std::free(g_sink);
    steps[7] = counter.count();
    {
      auto text = std::make_unique<std::string>(100, 'x');
      g_sink = text.get();
    }
    steps[8] = counter.count();
  }
  const char* what[] = {"malloc", "calloc", "realloc", "operator new", "operator new[]",
                        "aligned operator new", "strdup", "a std::string"};
  for (int i = 1; i < 9; ++i) EXPECT_GT(steps[i], steps[i - 1]) << what[i - 1] << " not counted";
}

TEST(AllocCounter, NestedScopesCountTheSameAllocations) {
  ZV_REQUIRE_ALLOC_COUNTING();
  long outer_count = 0;
  long inner_count = 0;
  {
    zvtest::AllocCounter outer;
    {
      zvtest::AllocCounter inner;
      g_sink = std::malloc(8);
      std::free(g_sink);
      inner_count = inner.count();
    }
    g_sink = std::malloc(8);
    std::free(g_sink);
    outer_count = outer.count();
  }
  EXPECT_GE(inner_count, 1);
  EXPECT_GE(outer_count, inner_count + 1);
}

TEST(WrapAllocations, NoneWhileCuttingText) {
  ZV_REQUIRE_ALLOC_COUNTING();
  // Everything the wrapper meets: words, long words, blanks, line feeds,
  // carriage returns, complete, cut and unterminated sequences, bytes 128-255.
  std::string text;
  for (int i = 0; i < 40; ++i) {
    text += "the quick brown fox \x1b[1;3" + std::to_string(i % 8) + "mjumps\x1b[0m over\n the ";
    text += std::string(static_cast<std::size_t>(20 + i), 'w');
    text += " lazy \xe9\xe8\xff dog\r\n\x1b[12\r  \t";
  }
  text += "\x1b[1;2";  // unterminated at the end
  static char dst[260];
  volatile long total = 0;

  long allocations = -1;
  {
    zvtest::AllocCounter counter;
    for (int width : {10, 30, 35, 80, 128, 250})
      for (int max_bytes : {1, 5, 250})
        for (int keep = 0; keep <= 1; ++keep)
          for (int parse = 0; parse <= 1; ++parse) {
            const char* p = text.c_str();
            while (*p != '\0') total = total + zv::wrap(p, dst, width, &p, keep, 10, max_bytes, parse);
          }
    total = total + zv::wrap(nullptr, dst, 80, nullptr, 1, 0, 250, 1);
    allocations = counter.count();
  }
  EXPECT_EQ(allocations, 0);
  EXPECT_GT(total, 0);
}

}  // namespace
