#include "receiver_signals.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

void install_abort_handler(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGABRT, &sa, nullptr);
}

void set_receiver_signal_mask() {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGIO);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGABRT);
  sigaddset(&wanted, SIGPIPE);
  pthread_sigmask(SIG_UNBLOCK, &wanted, nullptr);
}

void sleep_ms(int ms) {
  timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

void sleep_us(long us) {
  timespec t{us / 1000000, (us % 1000000) * 1000L};
  nanosleep(&t, nullptr);
}

long long monotonic_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}
