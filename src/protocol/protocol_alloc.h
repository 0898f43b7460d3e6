// Heap blocks that the request and reply records own. Every block a record points
// to comes from here (malloc/calloc underneath, released with free by
// clean_request / clean_reply), so that tests can make the Nth allocation fail
// and reach every out-of-memory path.
#ifndef DAQ_PROTOCOL_ALLOC_H
#define DAQ_PROTOCOL_ALLOC_H

#include <cstddef>

struct daq_channel_entry;

void* protocol_calloc(std::size_t count, std::size_t size);
// A malloc'ed copy of text (length + 1 bytes), or null when memory runs out.
char* protocol_strdup(const char* text);
// A new zeroed entry block holding a copy of name. On failure nothing stays
// allocated and the result says which of the two blocks could not be had.
enum class EntryAlloc { ok, no_entry, no_name };
EntryAlloc protocol_new_entry(const char* name, daq_channel_entry** out);

// Test hook: the nth allocation from now on (1 = the next) fails, and only that
// one; 0 disarms. Not thread-safe by design: tests call it around one operation.
void protocol_fail_allocation(int nth);

#endif
