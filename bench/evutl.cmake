# Event encoder and spectrum decoders against memcpy of the same bytes.
daq_bench(evutl_codec SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/evutl_codec.cc LIBS orxaevutl_obj)
# The floor row inlines the library's own spectrum checks.
target_include_directories(bench_evutl_codec PRIVATE ${PROJECT_SOURCE_DIR}/src/outside/evutl)
