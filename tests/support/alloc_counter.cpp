// Counting heap allocations in a test program: see alloc_counter.h.
//
// Without a sanitizer that owns the allocator, this file replaces the global
// operator new and interposes the C library's allocation functions with thin
// forwarders to glibc's own entry points (__libc_malloc and kin): the memory
// comes from the same allocator as always, so free(), delete and
// malloc_usable_size() keep working on it, and the only extra work outside
// a counting scope is one relaxed atomic load.
#include "alloc_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZVTEST_COUNT_BY_HOOK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define ZVTEST_COUNT_BY_HOOK 1
#endif
#endif

#if defined(ZVTEST_COUNT_BY_HOOK)
// From the sanitizer runtime (declared here: not every compiler ships the
// sanitizer headers). The hooks run on every allocation and release made
// through the sanitizer's allocator.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t),
    void (*free_hook)(const volatile void*));
#else
#include <malloc.h>
#endif

namespace {

// Constant-initialised: allocations run before any dynamic initialiser.
constinit std::atomic<long> g_allocations{0};
constinit std::atomic<int> g_scopes{0};

inline void note_allocation() {
  if (g_scopes.load(std::memory_order_relaxed) > 0)
    g_allocations.fetch_add(1, std::memory_order_relaxed);
}

#if defined(ZVTEST_COUNT_BY_HOOK)
void on_malloc(const volatile void*, std::size_t) { note_allocation(); }
void on_free(const volatile void*) {}

void install_hooks() {
  static const bool installed = [] {
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    return true;
  }();
  (void)installed;
}
#else
void install_hooks() {}
#endif

}  // namespace

namespace zvtest {

AllocCounter::AllocCounter() : start_(0) {
  install_hooks();
  start_ = g_allocations.load(std::memory_order_relaxed);
  g_scopes.fetch_add(1, std::memory_order_relaxed);
}

AllocCounter::~AllocCounter() { g_scopes.fetch_sub(1, std::memory_order_relaxed); }

long AllocCounter::count() const {
  return g_allocations.load(std::memory_order_relaxed) - start_;
}

bool AllocCounter::available() {
  // Called through a volatile pointer so the compiler cannot drop the pair.
  void* (*volatile allocate)(std::size_t) = std::malloc;
  AllocCounter probe;
  void* p = allocate(1);
  std::free(p);
  return probe.count() > 0;
}

}  // namespace zvtest

#if !defined(ZVTEST_COUNT_BY_HOOK)

// glibc's own allocator entry points, which its malloc() and friends are
// aliases of.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);
}

namespace {

bool valid_alignment(std::size_t alignment) {
  return alignment != 0 && (alignment & (alignment - 1)) == 0;
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  note_allocation();
  if (size == 0) size = 1;
  for (;;) {
    void* p = alignment <= alignof(std::max_align_t) ? __libc_malloc(size)
                                                      : __libc_memalign(alignment, size);
    if (p != nullptr) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) noexcept {
  note_allocation();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
  note_allocation();
  return __libc_calloc(count, size);
}

void* realloc(void* ptr, std::size_t size) noexcept {
  note_allocation();
  return __libc_realloc(ptr, size);
}

void* reallocarray(void* ptr, std::size_t count, std::size_t size) noexcept {
  note_allocation();
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_realloc(ptr, bytes);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  note_allocation();
  if (!valid_alignment(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  note_allocation();
  if (!valid_alignment(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

void* memalign(std::size_t alignment, std::size_t size) noexcept {
  note_allocation();
  return __libc_memalign(alignment, size);
}

void* valloc(std::size_t size) noexcept {
  note_allocation();
  return __libc_valloc(size);
}

void* pvalloc(std::size_t size) noexcept {
  note_allocation();
  return __libc_pvalloc(size);
}

}  // extern "C"

// The global operator new, every form. The default operator delete frees
// with free(), which takes this memory as it is.
void* operator new(std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate_or_throw(size, 0);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate_or_throw(size, 0);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  try {
    return allocate_or_throw(size, static_cast<std::size_t>(alignment));
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t&) noexcept {
  try {
    return allocate_or_throw(size, static_cast<std::size_t>(alignment));
  } catch (...) {
    return nullptr;
  }
}

#endif  // !ZVTEST_COUNT_BY_HOOK
