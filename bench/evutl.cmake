# Event encoder and spectrum decoders against memcpy of the same bytes.
if(TARGET orxaevutl_obj)
  daq_bench(evutl_codec SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/evutl_codec.cc LIBS orxaevutl_obj)
endif()
