# Event encoder and spectrum decoders against memcpy of the same bytes.
daq_bench(evutl_codec SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/evutl_codec.cc LIBS orxaevutl_obj)
