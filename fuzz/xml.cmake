# XML helper and channel descriptions: arbitrary bytes through the SAX memory
# parser (every element, a set of attribute names), and through the
# channel-description reader followed by the list cleanup.
daq_fuzzer(sax_memory SOURCES ${CMAKE_CURRENT_LIST_DIR}/xml_sax_memory.cc LIBS orxaxml_obj)
daq_fuzzer(chan_descr SOURCES ${CMAKE_CURRENT_LIST_DIR}/xml_chan_descr.cc LIBS orxaevutl_obj)
