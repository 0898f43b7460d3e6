# The two document readers of the request/reply protocol; each reads whatever
# arrives and, when it succeeds, must write a document that reads back cleanly.
daq_fuzzer(parse_daq_request SOURCES ${CMAKE_CURRENT_LIST_DIR}/protocol_parse_request.cc
  LIBS protocol_obj ORXAXML ORXAevutl)
daq_fuzzer(parse_daq_reply SOURCES ${CMAKE_CURRENT_LIST_DIR}/protocol_parse_reply.cc
  LIBS protocol_obj ORXAXML ORXAevutl)
