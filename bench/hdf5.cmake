# The HDF5 sink writing images, against plain write() of the same bytes.
daq_bench(hdf5_write SOURCES ${CMAKE_CURRENT_LIST_DIR}/hdf5_write_bench.cc
  LIBS tarnvik_hdf5 tarnvik evstore velmorapi)
