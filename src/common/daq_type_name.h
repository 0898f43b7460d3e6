// The short names of the DAQ data types that the outputs print and store
// (daqget's text formats, the HDF5 files' "data_type" attribute). Files already
// written carry these names, so they never change.
#ifndef DAQ_TYPE_NAME_H
#define DAQ_TYPE_NAME_H

#include <string>

inline std::string daq_type_name(int dtype) {
  switch (dtype) {
    case 1:
      return "eqdata";
    case 2:
      return "namval";
    case 3:
      return "image";
    case 4:
      return "spectrum";
    case 5:
      return "gspectrum";
    case 6:
      return "stamp";
    case 25:
      return "multi-a";
    case 26:
      return "multi-b";
    case 33:
      return "update";
    default:
      return "type " + std::to_string(dtype);
  }
}

#endif
