// How daqget shows the value of one channel: a one-line summary for the table,
// the full numbers for CSV, and a JSON object with every value for JSON lines.
// Layouts: docs/daqget.md.
#ifndef DAQGET_VALUE_FORMAT_H
#define DAQGET_VALUE_FORMAT_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace velmor {
class EqData;
}

// Name of a DAQ data type ("spectrum", "image", ...; "slow" for slow entries,
// "type N" for others).
std::string data_type_name(int dtype, bool slow);

// Time as ISO 8601 UTC with microseconds: 2025-01-01T00:00:00.000000Z.
std::string iso_time(uint32_t seconds, uint32_t micros);

// A float printed so that reading it back gives the same float.
std::string float_text(double value);

// Summary for the table: scalars, spectrum length and the first max_values
// values, image size, name/value pairs.
std::string value_summary(const velmor::EqData& data, int max_values);

// Every number of the value, separated by blanks (spectra one after the other,
// name/value items as name=value separated by ';'); images give "" (the bytes
// are in JSON lines only). *count receives the number of values.
std::string value_numbers(const velmor::EqData& data, size_t* count);

// The full value as JSON (null for a channel that carries only a time stamp).
nlohmann::ordered_json value_json(const velmor::EqData& data);

// value_numbers appended to out; returns the count.
size_t append_value_numbers(std::string& out, const velmor::EqData& data);

// value_json's compact text (as the JSON library writes it, invalid UTF-8
// replaced) appended to out, without building the document.
void append_value_json(std::string& out, const velmor::EqData& data);

// value_summary appended to out.
void append_value_summary(std::string& out, const velmor::EqData& data, int max_values);

// True when value_numbers' text of the value holds nothing but numbers and
// blanks, so a CSV field of it never needs quotes.
bool value_numbers_plain(const velmor::EqData& data);

// Standard base64 of n bytes.
std::string base64(const unsigned char* bytes, size_t n);

#endif
