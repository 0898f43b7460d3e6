// Symbol visibility for libORXAevutl. It is built with hidden visibility; only names
// marked ORXA_EVUTL_EXPORT form its interface. Its own header, so the installed headers
// need none of the toolkit's.
#ifndef ORXA_EVUTL_EXPORT_H
#define ORXA_EVUTL_EXPORT_H

#define ORXA_EVUTL_EXPORT __attribute__((visibility("default")))

#endif
