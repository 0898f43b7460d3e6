// Element and attribute names of the channel-description document
// (docs/channel-descriptions.md), shared by its writer and reader.
#ifndef ORXA_CHAN_DESCR_FORMAT_H
#define ORXA_CHAN_DESCR_FORMAT_H

#include "orxa_chan_descr.h"

namespace chan_descr_xml {

constexpr const char* kRoot = "ChanDescrList";
constexpr const char* kChan = "ChanDescr";
constexpr const char* kBit = "BitDescr";
constexpr const char* kDim = "DimDescr";
constexpr const char* kStat = "StatDescr";

}  // namespace chan_descr_xml

// Releases one description with its bit, dimension and statistics records.
void delete_chan_descr(chan_descr_2010* d);

#endif
