# Request handshake over loopback against the two bare property calls it makes.
daq_bench(connection_handshake SOURCES ${CMAKE_CURRENT_LIST_DIR}/connection_handshake.cc
  LIBS daq_server connection_obj protocol_obj velmorapi ORXAevutl ORXAXML tidewire XercesC::XercesC
       Threads::Threads)
