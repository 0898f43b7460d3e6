// Server lists of the facilities and the rules that compose a property address
// from a list entry.
#ifndef CONNECTION_FACILITY_LISTS_H
#define CONNECTION_FACILITY_LISTS_H

#include <cstddef>
#include <string>
#include <vector>

// The list of a facility name: exact, case-sensitive match of "NOVIK", "VENDA"
// or "TARSEN"; anything else (null included) gives the LUMAR list.
const char* facility_server_list(const char* linac);
// True for LUMAR and for every name facility_server_list knows by itself.
bool facility_has_list(const char* linac);

// The entries of a ':'-separated list up to (not including) the first empty one:
// an empty entry ends the list, as the handshake never looks past it.
std::vector<std::string> server_list_entries(const std::string& list);

// Size of the buffer a property address is composed in, NUL included.
enum { DAQ_ADDRESS_SIZE = 80 };

// Composes entry + ['/'] + property [+ number] into buf (DAQ_ADDRESS_SIZE bytes);
// '/' is inserted unless the entry already ends with one; number < 0 adds none.
// False when it fits; true when it would not (buf then holds "").
bool compose_property_address(char* buf, const std::string& entry, const char* property,
                              int number);

#endif
