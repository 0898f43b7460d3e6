# Arbitrary bytes as an event of either generation, or a slow-data block, into the
# record cache.
daq_fuzzer(cache_events SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cache_events.cc LIBS evstore_obj)
