// Heap blocks that the request and reply records own. Every block a record points
// to comes from here (malloc/calloc underneath, released with free by
// clean_request / clean_reply), so that tests can make the Nth allocation fail
// and reach every out-of-memory path.
#ifndef DAQ_PROTOCOL_ALLOC_H
#define DAQ_PROTOCOL_ALLOC_H

#include <cstddef>
#include <vector>

struct daq_channel_entry;

void* protocol_calloc(std::size_t count, std::size_t size);
// A malloc'ed copy of text (length + 1 bytes), or null when memory runs out.
char* protocol_strdup(const char* text);
// A new zeroed entry block holding a copy of name. On failure nothing stays
// allocated and the result says which of the two blocks could not be had.
enum class EntryAlloc { ok, no_entry, no_name };
EntryAlloc protocol_new_entry(const char* name, daq_channel_entry** out);

// Append a block to a record's list. When the list cannot grow the block is
// released and the result is false, so no block is ever left owned by nobody.
bool protocol_append(std::vector<char*>& list, char* text);
bool protocol_append(std::vector<daq_channel_entry*>& list, daq_channel_entry* entry);

// Test hook: the nth allocation from now on (1 = the next) fails, and only that
// one; 0 disarms. Not thread-safe by design: tests call it around one operation.
void protocol_fail_allocation(int nth);
// True while an armed failure has not happened yet.
bool protocol_allocation_failure_pending();

#endif
