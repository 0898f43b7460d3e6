// Symbol visibility for libtidewire. It is built with hidden visibility; only names
// marked TIDEWIRE_EXPORT form its interface. Its own header, so the installed headers
// need none of the toolkit's.
#ifndef TIDEWIRE_EXPORT_H
#define TIDEWIRE_EXPORT_H

#define TIDEWIRE_EXPORT __attribute__((visibility("default")))

#endif
