// Conversion of the parser's UTF-16 texts to the UTF-8 that callers read.
#ifndef ORXA_UTF8_TEXT_H
#define ORXA_UTF8_TEXT_H

#include <string>

#include <xercesc/util/XercesDefs.hpp>

// Replaces out with the UTF-8 form of the NUL-terminated text (null gives "").
// An unpaired surrogate becomes U+FFFD.
void assign_utf8(std::string& out, const XMLCh* text);

#endif
