#include "daq_generation.h"
