# XML helper: element-by-element reading and channel-description reading, each
# beside a bare Xerces-C SAX2 parse of the same document with an empty handler.
daq_bench(xml_sax SOURCES ${CMAKE_CURRENT_LIST_DIR}/xml_sax.cc LIBS orxaevutl_obj XercesC::XercesC)
