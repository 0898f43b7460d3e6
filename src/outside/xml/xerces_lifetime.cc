// Xerces-C keeps global state that Initialize creates and Terminate destroys, and
// neither call is safe against a concurrent one. One mutex serialises them. The
// library is initialised by the first parser of the process and stays up: setting
// it up costs milliseconds, far more than reading a typical request, so tearing
// it down after each document would dominate every protocol call. It is
// terminated when this library is unloaded (process exit or dlclose), provided no
// parser is still alive then, so a clean exit leaves nothing behind. The use
// count exists only for that decision.
#include "xerces_lifetime.h"

#include <xercesc/util/PlatformUtils.hpp>

#include "daq_diag.h"
#include "daq_mutex.h"

namespace {

struct XercesUsers {
  DaqMutex mutex;
  long count GUARDED_BY(mutex) = 0;
  bool initialised GUARDED_BY(mutex) = false;
};

// Created on first use and never destroyed, so parsers that outlive static
// destruction still find a valid mutex.
XercesUsers& users() {
  static XercesUsers* shared = new XercesUsers;
  return *shared;
}

struct TerminateAtUnload {
  ~TerminateAtUnload() {
    XercesUsers& u = users();
    DaqLockGuard guard(u.mutex);
    if (!u.initialised || u.count != 0) return;
    u.initialised = false;
    try {
      xercesc::XMLPlatformUtils::Terminate();
    } catch (...) {
      // Nothing left to do with a library that cannot shut down.
    }
  }
};

TerminateAtUnload terminate_at_unload;

}  // namespace

bool xerces_acquire() {
  XercesUsers& u = users();
  DaqLockGuard guard(u.mutex);
  if (!u.initialised) {
    try {
      xercesc::XMLPlatformUtils::Initialize();
    } catch (...) {
      daq_line("xerces_acquire() failed to initialise the XML parser");
      return false;
    }
    u.initialised = true;
  }
  ++u.count;
  return true;
}

void xerces_release() {
  XercesUsers& u = users();
  DaqLockGuard guard(u.mutex);
  if (u.count > 0) --u.count;
}
