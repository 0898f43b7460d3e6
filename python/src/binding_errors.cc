// Failures reach Python as exceptions of daqclient._errors carrying the system's
// result code and text; the classes live in Python so that callers can catch
// them by kind without importing the extension module.
#include "daqclient.h"

namespace daqclient {

void raise_error(const char* kind, int code, const std::string& text, const std::string& reason) {
  py::object cls = py::module_::import("daqclient._errors").attr(kind);
  py::object error = reason.empty() ? cls(code, text) : cls(code, text, reason);
  PyErr_SetObject(cls.ptr(), error.ptr());
  throw py::error_already_set();
}

}  // namespace daqclient
