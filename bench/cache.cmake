# Record cache: conversion throughput against memcpy of the same bytes, lookup
# rates at several depths, and the resident size of a full cache.
daq_bench(cache_conversion SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cache_conversion.cc LIBS evstore_obj)
daq_bench(cache_lookup SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cache_lookup.cc LIBS evstore_obj)
daq_bench(cache_memory SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cache_memory.cc LIBS evstore_obj)
daq_bench(cache_ingest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cache_ingest.cc LIBS evstore_obj)
target_include_directories(bench_cache_ingest PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
