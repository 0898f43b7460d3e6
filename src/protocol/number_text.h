// Numbers in attribute values, read the way strtol/strtod read them: leading
// blanks skipped, reading stops at the first character that does not fit, a text
// without digits is 0. Out-of-range values never cause undefined behaviour.
#ifndef DAQ_PROTOCOL_NUMBER_TEXT_H
#define DAQ_PROTOCOL_NUMBER_TEXT_H

// Decimal; the long is cut to int as a two's-complement value.
int read_decimal(const char* text);
// Hexadecimal when the text holds an x or X (a leading 0x is allowed), else decimal.
int read_code(const char* text);
// Decimal floating point; values beyond the float range become +-infinity.
float read_float(const char* text);

#endif
