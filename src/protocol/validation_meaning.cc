// Texts say what to change in the request, not which check failed.
#include "validation_meaning.h"

const char* validation_meaning(int code) {
  switch (code) {
    case -1:
      return "no request";
    case -2:
      return "nothing selected: give a start time, a first run or a file";
    case -3:
      return "neither an experiment nor a file";
    case -5:
      return "the request type is not 1, 2 or 3";
    case -6:
      return "the communication mode is not push or handshake";
    case -7:
      return "the start time cannot be read";
    case -8:
      return "the stop time cannot be read";
    case -9:
      return "the run range is empty";
    case -10:
      return "the start is not before the stop";
    default:
      return "the configuration file cannot be read or merged";
  }
}
