# Control-system transport over loopback against raw TCP of the same byte counts.
daq_bench(velmor_transport SOURCES ${CMAKE_CURRENT_LIST_DIR}/velmor_transport.cc LIBS velmorapi_obj Threads::Threads)
