# daqget's CSV and JSON-lines writers against std::to_chars of the same floats.
daq_bench(daqget_output SOURCES ${CMAKE_CURRENT_LIST_DIR}/daqget_output_bench.cc
  LIBS daqget_core)
