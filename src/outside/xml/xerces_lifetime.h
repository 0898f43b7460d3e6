// Process-wide use count of the Xerces-C library: the first user initialises it,
// the last one terminates it, whichever threads they run on.
#ifndef ORXA_XERCES_LIFETIME_H
#define ORXA_XERCES_LIFETIME_H

// True when Xerces is ready for the caller; every successful call is paired with
// one xerces_release().
bool xerces_acquire();
void xerces_release();

#endif
