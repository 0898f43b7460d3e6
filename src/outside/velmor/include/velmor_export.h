// Symbol visibility for libvelmorapi. It is built with hidden visibility; only names
// marked VELMOR_EXPORT form its interface. Its own header, so the installed headers
// need none of the toolkit's.
#ifndef VELMOR_EXPORT_H
#define VELMOR_EXPORT_H

#define VELMOR_EXPORT __attribute__((visibility("default")))

#endif
