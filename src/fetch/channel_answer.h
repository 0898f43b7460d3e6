// Which requested channel a value answers. Servers return a channel with
// sub-channels or named values under names of their own: the update channel
// VACUUM/UPDATE/PUMPS as PUMPS.0 .. PUMPS.5, a multi-channel spectrum as
// NAME_SUB, a name/value channel as NAME:VALUE.
#ifndef DAQ_FETCH_CHANNEL_ANSWER_H
#define DAQ_FETCH_CHANNEL_ANSWER_H

#include <string>
#include <vector>

// The requested name (without sampling parameters) that `name` equals or
// extends with '.', '_' or ':', compared whole or by its last part after '/';
// the longest such match, or "" when none matches.
const std::string& answered_channel(const std::vector<std::string>& requested,
                                    const std::string& name);

#endif
