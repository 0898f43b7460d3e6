// The document readers with a parser taken from a cache, for callers that read
// many documents (a connection, a server). Results exactly as the readers of
// daq_server_util_def.h; a null cache makes them those readers.
#ifndef DAQ_PROTOCOL_CACHED_READERS_H
#define DAQ_PROTOCOL_CACHED_READERS_H

#include <vector>

#include "daq_server_util_def.h"
#include "orxa_xml.h"

int parse_daq_request(char* xml, daq_server_request* request, SAX_Parser_Cache* cache);
int parse_daq_reply(char* xml, daq_server_reply* reply, std::vector<chan_descr_2010*>* vc,
                    SAX_Parser_Cache* cache);

#endif
