// Channel descriptions of the DAQ framework, their XML form (docs/channel-descriptions.md),
// and the small utilities that the request/reply protocol uses: ISO time parsing and
// the default run catalog directory.
#ifndef ORXA_CHAN_DESCR_H
#define ORXA_CHAN_DESCR_H

#include <ctime>
#include <string>
#include <vector>

#include "orxa_evutl_export.h"

struct bit_descr {
  int bit;
  char bit_name[64];
  char bit_desc[80];
};

struct stat_descr {
  int stat;
  char stat_name[64];
  char stat_desc[80];
  char units[16];
};

struct dim_descr {
  int dim;
  char dim_name[64];
  char dim_desc[80];
  char units[16];
  int nstats;
  std::vector<stat_descr*> stats;  // owned
};

struct chan_descr_2010 {
  int stream;
  unsigned ev_type;
  int count;
  unsigned dtype;
  int db_key;
  char prop_name[256];
  char daq_name[256];
  char prop_desc[256];
  char units[16];
  int max_size;
  int nbits;
  std::vector<bit_descr*> bits;  // owned
  int ndims;
  std::vector<dim_descr*> dims;  // owned
  char sb_name[256];
  int set_point;
  char subsystem[64];
};

// Parses a channel-description document (its root element named by
// get_chan_descr_root_tag(0, 0)) and appends one new description per channel to vc.
// The two flags are accepted for compatibility and have no effect. Descriptions
// and their member records are allocated with new and belong to the caller, who
// releases them with clean_chan_desr_list. Returns 0 on success, a negative code
// otherwise (the codes are listed in docs/channel-descriptions.md); on failure vc
// is left exactly as it was passed in.
ORXA_EVUTL_EXPORT int parse_descr_list_read(char* xml, std::vector<chan_descr_2010*>* vc, bool,
                                            bool);

// Writes the descriptions of vc as a channel-description document into *out
// (appending). filter, mode, flags and select and the extra list are accepted for
// compatibility: the call of the protocol passes (vc, null, 2, 0, -1, out, null).
// Null entries are skipped; the counts written are those of the vectors.
// Returns 0 on success, not 0 when vc or out is null (then *out is unchanged).
ORXA_EVUTL_EXPORT int dump_chan_desr(std::vector<chan_descr_2010*>* vc, char* filter, int mode,
                                     int flags, int select, std::string* out,
                                     std::vector<chan_descr_2010*>* extra);

// Name of the outermost element of a channel-description document.
ORXA_EVUTL_EXPORT const char* get_chan_descr_root_tag(int, int);

// Releases every description of the list (with its bit, dimension and statistics
// records) and empties it. A null list does nothing.
ORXA_EVUTL_EXPORT void clean_chan_desr_list(std::vector<chan_descr_2010*>* vc);

// Reads year-month-dayThour:minute:second (UTC) into *t. False on success.
ORXA_EVUTL_EXPORT bool time_from_isodate2(char* text, time_t* t);

// Writes the default run catalog directory name ("/daq/orxa/adm/", or the value
// of ORXA_DAQ_CATALOG_DIR when set), NUL-terminated, into buf, whose
// size is *size. Returns 0 on success, not 0 when it does not fit or the arguments
// are unusable. The first and last arguments are accepted for compatibility.
ORXA_EVUTL_EXPORT int get_run_catalog_dir_name(char* facility, char* buf, int* size, int);

#endif
