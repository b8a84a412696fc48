// Counting heap allocations in a test program.
//
// The library promises that its paths allocate nothing. A test proves it by
// running the code inside an `AllocCounter` scope and checking the count:
//
//   long allocations = 0;
//   {
//     zvtest::AllocCounter counter;
//     ...code under test...
//     allocations = counter.count();
//   }
//   EXPECT_EQ(allocations, 0);
//
// (Take the count before asserting: a failing gtest assertion allocates.)
//
// What is counted: every call to the global operator new (all forms) and to
// malloc, calloc, realloc, reallocarray, aligned_alloc, posix_memalign,
// memalign, valloc and pvalloc, from any code in the process, the C and C++
// runtimes included. Outside a scope nothing is counted and the functions
// behave exactly as the C library's, so linking this helper into a test
// program changes nothing for tests that do not use it.
//
// Under AddressSanitizer the sanitizer owns the allocator: the helper then
// replaces nothing and counts through the sanitizer's allocation hook, which
// sees the same calls. Under valgrind, which puts its own allocator in place
// of all these functions, nothing can be counted: `available()` says so, and
// a test skips its allocation check with ZV_REQUIRE_ALLOC_COUNTING().
#pragma once

namespace zvtest {

class AllocCounter {
 public:
  // Starts counting. Scopes may nest; counting stops when the last ends.
  AllocCounter();
  ~AllocCounter();
  AllocCounter(const AllocCounter&) = delete;
  AllocCounter& operator=(const AllocCounter&) = delete;

  // Allocations made in the whole process since this scope began.
  long count() const;

  // Whether allocations are counted in this process: makes one allocation
  // in a scope of its own and looks whether it was seen.
  static bool available();

 private:
  long start_;
};

}  // namespace zvtest

// Use at the top of a test whose allocation check needs a working counter.
#define ZV_REQUIRE_ALLOC_COUNTING()                                             \
  do {                                                                        \
    if (!::zvtest::AllocCounter::available())                                 \
      GTEST_SKIP() << "allocations cannot be counted here (under valgrind?)"; \
  } while (0)
