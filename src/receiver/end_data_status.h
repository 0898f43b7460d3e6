// Texts of the end-data status: why a receiver's stream ended. Negative codes come
// from the data server as the event number of an event header; positive ones are
// failure codes of the data link's receive.
#ifndef DAQ_END_DATA_STATUS_H
#define DAQ_END_DATA_STATUS_H

// The text for a status; "Unknown" outside -10..0.
const char* end_data_status_text(int status);

#endif
