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
// sees the same calls.
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

 private:
  long start_;
};

}  // namespace zvtest
