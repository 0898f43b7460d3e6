// The monotonic clock of the connect budget.
#ifndef CONNECTION_CONNECT_BUDGET_H
#define CONNECTION_CONNECT_BUDGET_H

#include <cstdint>

// Milliseconds on a clock that never jumps (wall-clock changes do not stretch
// or cut a budget).
int64_t budget_now_ms();

#endif
