# Data receiver over loopback: stream and handshake rates against raw TCP of the
# same bytes, and the peak resident growth of a full cache of 1 MB events.
daq_bench(receiver_stream SOURCES ${CMAKE_CURRENT_LIST_DIR}/receiver_stream_bench.cc
  LIBS receiver_obj protocol_obj evstore tidewire velmorapi ORXAevutl Threads::Threads)
target_include_directories(bench_receiver_stream PRIVATE ${PROJECT_SOURCE_DIR}/tests/receiver
  ${PROJECT_SOURCE_DIR}/tests/support)
