// A test build's global operator new that fails on demand. Linked into a test
// executable, it replaces every form of operator new and delete for the whole
// process, the libraries under test included. Armed with n, the nth allocation
// the arming thread makes from then on fails: throwing forms throw
// std::bad_alloc, nothrow forms return null. Other threads are never failed or
// counted, so a sweep is repeatable.
#ifndef DAQ_TESTS_FAILING_ALLOCATOR_H
#define DAQ_TESTS_FAILING_ALLOCATOR_H

#include <cstddef>
#include <functional>
#include <string>

namespace failing_allocator {

// n >= 1 arms for the calling thread; 0 disarms.
void arm(long n);
// Allocations counted since arming, and whether the armed one was reached.
long counted();
bool fired();

// Bytes the process holds on the heap now (malloc and operator new alike), as
// the sanitizer counts them; 0 in a build without one.
std::size_t heap_in_use();

// How a sweep makes its failures.
enum class Source {
  operator_new,  // the global operator new
  hook           // a library's own failure hook, for its malloc'ed blocks
};

struct Hook {
  std::function<void(int)> arm;   // the library's "fail the nth" call; 0 disarms
  std::function<bool()> pending;  // true while the armed failure has not happened
};

// Runs op once per n = 1, 2, ... with the nth allocation failing, until a run
// completes without reaching n. Before each run setup() builds the state the
// operation works on; after it check(n) judges the outcome and teardown()
// releases everything, after which the heap must hold what it held before
// setup(). An exception leaving op fails the test. Returns the number of runs
// with a failure injected.
struct Sweep {
  std::string what;
  std::function<void()> setup = [] {};
  std::function<void()> op;
  std::function<void(long n)> check = [](long) {};
  std::function<void()> teardown = [] {};
  long limit = 20000;
};
long run(const Sweep& s, Source source = Source::operator_new, const Hook* hook = nullptr);

}  // namespace failing_allocator

#endif
