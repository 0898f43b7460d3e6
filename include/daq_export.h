// Symbol visibility for the toolkit's shared libraries. Everything is built with
// hidden visibility; only names marked DAQ_EXPORT form a library's interface.
#ifndef DAQ_EXPORT_H
#define DAQ_EXPORT_H

#define DAQ_EXPORT __attribute__((visibility("default")))

#endif
