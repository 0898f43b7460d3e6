# Event-utility decoders: a sub-head with arbitrary data through every decoder, and
# arbitrary slow-data blocks through the slow-block accessors.
daq_fuzzer(evutl_decoders SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/evutl_decoders.cc LIBS orxaevutl_obj)
daq_fuzzer(evutl_slow SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/evutl_slow.cc LIBS orxaevutl_obj)
