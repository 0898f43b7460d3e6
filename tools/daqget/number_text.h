// The texts of daqget's floating-point numbers, written straight into a line:
// the 9-digit text ("%.9g") that reads back as the same float, and the JSON
// number of that text (the shortest double reading back as those digits, as
// the JSON library writes it). Byte for byte what printf and the JSON library
// give; only faster, since a spectrum line carries thousands of them.
#ifndef DAQGET_NUMBER_TEXT_H
#define DAQGET_NUMBER_TEXT_H

#include <string>

// Appends the "%.9g" text of value.
void append_float_text(std::string& out, double value);

// Appends the JSON number of value's 9-digit text; "null" for NaN and infinities.
void append_json_float(std::string& out, double value);

#endif
