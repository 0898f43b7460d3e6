# Data link throughput over loopback against a raw TCP read loop of the same bytes.
daq_bench(tidewire_link
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tidewire_link_bench.cc
  LIBS tidewire_obj Threads::Threads)
