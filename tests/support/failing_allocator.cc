// Replacement of the global allocation functions for allocation-failure tests.
// The executable's definitions take precedence over the C++ runtime's and the
// sanitizer's, for the shared libraries too. Blocks come from malloc, so the
// sanitizers still see every allocation and every leak.
#include "failing_allocator.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime (its header does not ship with every compiler).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#define DAQ_HEAP_FROM_SANITIZER 1
#endif

namespace {

// Per thread, so that only the thread that armed the failure is affected.
thread_local long t_countdown = 0;
thread_local long t_counted = 0;
thread_local bool t_fired = false;

bool fail_now() {
  if (t_countdown <= 0) return false;
  ++t_counted;
  if (--t_countdown != 0) return false;
  t_fired = true;
  return true;
}

void* take(std::size_t n) { return std::malloc(n != 0 ? n : 1); }

void* take_aligned(std::size_t n, std::align_val_t al) {
  void* p = nullptr;
  std::size_t a = static_cast<std::size_t>(al);
  if (a < sizeof(void*)) a = sizeof(void*);
  return posix_memalign(&p, a, n != 0 ? n : 1) == 0 ? p : nullptr;
}

void* throwing(std::size_t n) {
  void* p = fail_now() ? nullptr : take(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* throwing_aligned(std::size_t n, std::align_val_t al) {
  void* p = fail_now() ? nullptr : take_aligned(n, al);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t n) { return throwing(n); }
void* operator new[](std::size_t n) { return throwing(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return fail_now() ? nullptr : take(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return fail_now() ? nullptr : take(n);
}
void* operator new(std::size_t n, std::align_val_t al) { return throwing_aligned(n, al); }
void* operator new[](std::size_t n, std::align_val_t al) { return throwing_aligned(n, al); }
void* operator new(std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
  return fail_now() ? nullptr : take_aligned(n, al);
}
void* operator new[](std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
  return fail_now() ? nullptr : take_aligned(n, al);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace failing_allocator {

void arm(long n) {
  t_countdown = n > 0 ? n : 0;
  t_counted = 0;
  t_fired = false;
}

long counted() { return t_counted; }
bool fired() { return t_fired; }

std::size_t heap_in_use() {
#ifdef DAQ_HEAP_FROM_SANITIZER
  return __sanitizer_get_current_allocated_bytes();
#else
  // The C library's own count includes blocks it caches after a free, so
  // without a sanitizer the heap is not compared.
  return 0;
#endif
}

namespace {

void call(const std::function<void()>& f, const std::string& what, long n) {
  try {
    f();
  } catch (...) {
    ADD_FAILURE() << what << ": an exception left the operation (allocation " << n << " failing)";
  }
}

}  // namespace

long run(const Sweep& s, Source source, const Hook* hook) {
  // The operations print a line for most failures; the lines are kept out of
  // the test log unless something went wrong.
  testing::internal::CaptureStdout();
  // One untouched run first, so that state made once per process (stdio
  // buffers, the XML library) is not taken for a leak.
  s.setup();
  call(s.op, s.what, 0);
  s.teardown();
  long injected = 0;
  for (long n = 1; n <= s.limit && !testing::Test::HasFailure(); ++n) {
    std::size_t before = heap_in_use();
    s.setup();
    if (source == Source::operator_new) {
      arm(n);
    } else {
      hook->arm(static_cast<int>(n));
    }
    call(s.op, s.what, n);
    bool reached = source == Source::operator_new ? fired() : !hook->pending();
    if (source == Source::operator_new) {
      arm(0);
    } else {
      hook->arm(0);
    }
    s.check(n);
    s.teardown();
    std::size_t after = heap_in_use();
    if (after != before) {
      ADD_FAILURE() << s.what << ": allocation " << n << " failing left "
                    << static_cast<long long>(after - before) << " bytes allocated";
    }
    if (!reached) break;
    ++injected;
  }
  std::string printed = testing::internal::GetCapturedStdout();
  if (testing::Test::HasFailure()) {
    std::size_t keep = 4000;
    std::fprintf(stderr, "%s: last output:\n%s\n", s.what.c_str(),
                 printed.size() > keep ? printed.c_str() + printed.size() - keep : printed.c_str());
  }
  return injected;
}

}  // namespace failing_allocator
