// Symbol visibility for libORXAXML. It is built with hidden visibility; only names
// marked ORXA_XML_EXPORT form its interface. Its own header, so the installed headers
// need none of the toolkit's.
#ifndef ORXA_XML_EXPORT_H
#define ORXA_XML_EXPORT_H

#define ORXA_XML_EXPORT __attribute__((visibility("default")))

#endif
