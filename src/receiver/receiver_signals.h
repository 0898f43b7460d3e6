// Signals and sleeps of the receiver thread. stop_receiver wakes a thread blocked
// in a receive or a sleep with SIGABRT; the thread's handler is empty and is
// installed without SA_RESTART, so the interrupted call returns and the thread
// looks at its stop flag.
#ifndef DAQ_RECEIVER_SIGNALS_H
#define DAQ_RECEIVER_SIGNALS_H

// Installs handler as the process's SIGABRT handler: no flags, empty mask.
void install_abort_handler(void (*handler)(int));
// In the calling thread: blocks SIGIO, SIGINT and SIGTERM, unblocks SIGABRT and
// SIGPIPE.
void set_receiver_signal_mask();
// Sleeps up to ms milliseconds; a signal ends the sleep early.
void sleep_ms(int ms);
// The same in microseconds.
void sleep_us(long us);
// Milliseconds of a clock that wall-clock changes do not move.
long long monotonic_ms();

#endif
