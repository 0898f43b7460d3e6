# Control-system transport: the server's frame decoder and EqData deserialisation.
daq_fuzzer(velmor_frame SOURCES ${CMAKE_CURRENT_LIST_DIR}/velmor_frame.cc LIBS velmorapi_obj)
target_include_directories(fuzz_velmor_frame PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../src/outside/velmor)
daq_fuzzer(velmor_eqdata SOURCES ${CMAKE_CURRENT_LIST_DIR}/velmor_eqdata.cc LIBS velmorapi_obj)
