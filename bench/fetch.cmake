# The one-call fetch against the same road written by hand, same server, same request.
daq_bench(fetch_overhead SOURCES ${CMAKE_CURRENT_LIST_DIR}/fetch_overhead_bench.cc
  LIBS daq_server fetch_obj connection_obj receiver_obj protocol_obj evstore velmorapi ORXAevutl
       ORXAXML tidewire Threads::Threads)
target_include_directories(bench_fetch_overhead PRIVATE ${PROJECT_SOURCE_DIR}/src/fetch
  ${PROJECT_SOURCE_DIR}/src/generation)
