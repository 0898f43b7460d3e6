# The data link's frame reader, fed arbitrary bytes through a real socket.
daq_fuzzer(tidewire_frames
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tidewire_frames.cc
  LIBS tidewire_obj)
