// Channel names as HDF5 link names: '%', '/' and '#' escaped as %25, %2F and
// %23 ('#' is left for the sibling groups' suffix), a name that is empty or "."
// written %00 / %2E. Decoding replaces %XX by its byte.
#ifndef DAQ_HDF5_GROUP_NAME_H
#define DAQ_HDF5_GROUP_NAME_H

#include <string>

std::string escape_group_name(const std::string& channel);

#endif
