# Request and reply documents written and read, against a bare Xerces-C SAX2 parse
# of the same bytes in the same run.
daq_bench(protocol SOURCES ${CMAKE_CURRENT_LIST_DIR}/protocol_documents_bench.cc
  LIBS tarnvik XercesC::XercesC)
