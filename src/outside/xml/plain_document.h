// Which of Xerces' scanners may read a document held in memory.
#ifndef ORXA_PLAIN_DOCUMENT_H
#define ORXA_PLAIN_DOCUMENT_H

#include <cstddef>

// True when the NUL-terminated text can hold no markup declaration however the
// parser decodes it: it starts with '<' (after a UTF-8 byte order mark), its XML
// declaration, if any, names no encoding but UTF-8, no "<!" opens anything but a
// comment or a CDATA section, and no byte could begin an overlong UTF-8 form of
// an ASCII character. Such a document may be read by the well-formedness
// scanner, which skips a document type declaration silently where the other
// scanner reports it; everything else goes to the other scanner.
bool plain_document(const char* text);

// True when none of the n bytes at text is above 0x7F: the text decodes the same
// way in every ASCII-based encoding, and never fails to.
bool ascii_only(const char* text, std::size_t n);

#endif
