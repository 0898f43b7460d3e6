// velmor-call: one property call by hand, for people debugging a property
// server. The address goes through the same name table as every client
// (VELMOR_NAMES); --server HOST:PORT adds an entry for the address's server.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "velmor.h"

namespace {

void usage() {
  std::printf(
      "usage: velmor-call [options] get ADDRESS [VALUE]\n"
      "       velmor-call [options] set ADDRESS VALUE\n"
      "       velmor-call [options] names ADDRESS\n"
      "ADDRESS is /FACILITY/DEVICE[/LOCATION]/PROPERTY, found through VELMOR_NAMES.\n"
      "VALUE is XML when it starts with '<', else text; @FILE reads it from a file.\n"
      "options:\n"
      "  --server HOST:PORT   use this server for the address (no name table needed)\n"
      "  --int | --double | --text | --xml   type of VALUE\n"
      "  --connect-timeout MS, --timeout MS   connect and call timeouts\n"
      "  --retry              allow one reconnect on a broken connection\n");
}

enum class ValueKind { guess, text, xml, integer, real };

// Reads VALUE or @FILE; a file is read only up to what one frame can carry,
// so an endless one (a device, a pipe) ends with a message, not with memory.
// 0 on success, else the exit code.
int read_value(const char* arg, std::string* value) {
  if (arg[0] != '@') {
    *value = arg;
    return 0;
  }
  std::FILE* f = std::fopen(arg + 1, "rb");
  if (f == nullptr) {
    std::printf("velmor-call: cannot read %s\n", arg + 1);
    return 2;
  }
  char buf[65536];
  size_t n;
  while (value->size() <= velmor::kMaxSerializedSize && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
    value->append(buf, n);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    std::printf("velmor-call: cannot read %s\n", arg + 1);
    return 2;
  }
  if (value->size() > velmor::kMaxSerializedSize) {
    std::printf("velmor-call: %s: larger than the frame limit of %zu bytes (64 MB)\n", arg + 1,
                velmor::kMaxSerializedSize);
    return 1;
  }
  return 0;
}

bool fill_value(const std::string& value, ValueKind kind, velmor::EqData* in) {
  char* end = nullptr;
  switch (kind) {
    case ValueKind::integer:
      in->set_int(std::strtol(value.c_str(), &end, 0));
      break;
    case ValueKind::real:
      in->set_double(std::strtod(value.c_str(), &end));
      break;
    case ValueKind::xml:
      in->set_xml(value);
      return false;
    case ValueKind::text:
      in->set_string(value);
      return false;
    case ValueKind::guess:
      if (!value.empty() && value[0] == '<')
        in->set_xml(value);
      else
        in->set_string(value);
      return false;
  }
  if (end == value.c_str() || *end != '\0') {
    std::printf("velmor-call: not a number: %s\n", value.c_str());
    return true;
  }
  return false;
}

void print_result(const velmor::EqData& out) {
  using namespace velmor;
  if (out.get_time_seconds() != 0 || out.get_mpnum() != 0)
    std::printf("# type %d, time %ld.%06d, event %ld\n", out.type(), out.get_time_seconds(),
                out.get_time_microseconds(), out.get_mpnum());
  switch (out.type()) {
    case DATA_NULL:
      return;  // a set answers with nothing
    case DATA_A_USTR:
      for (int i = 0; i < out.ustr_count(); ++i) {
        const UstrElement* e = out.get_ustr(i);
        std::printf("%d %g %g %ld %s\n", e->i1, e->f1, e->f2, e->tm, e->str.c_str());
      }
      return;
    case DATA_A_TS_SPECTRUM:
    case DATA_A_TS_GSPECTRUM:
      for (int i = 0; i < out.spectrum_count(); ++i) {
        const SpectrumElement* s = out.get_spectrum(i);
        std::printf("%s: start %g inc %g status %u, %zu values:", s->comment.c_str(), s->s_start,
                    s->s_inc, s->status, s->data.size());
        for (size_t k = 0; k < s->data.size() && k < 16; ++k) std::printf(" %g", s->data[k]);
        std::printf("%s\n", s->data.size() > 16 ? " ..." : "");
      }
      return;
    case DATA_IMAGE: {
      const IMH* h = out.get_image_header();
      std::printf("image %s: %dx%d, %d bytes, frame %u\n", out.get_image_comm(), h ? h->width : 0,
                  h ? h->height : 0, out.get_image_length(), h ? h->frame : 0);
      return;
    }
    case DATA_INT:
    case DATA_A_INT:
      for (int i = 0; i < out.value_count(); ++i) std::printf("%ld\n", out.get_int(i));
      return;
    case DATA_FLOAT:
    case DATA_A_FLOAT:
    case DATA_DOUBLE:
    case DATA_A_DOUBLE:
      for (int i = 0; i < out.value_count(); ++i) std::printf("%.17g\n", out.get_double(i));
      return;
    case DATA_A_STRING:
      for (int i = 0; i < out.value_count(); ++i) std::printf("%s\n", out.get_text(i));
      return;
    default:
      std::printf("%s\n", out.get_xml());
      return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ValueKind kind = ValueKind::guess;
  int connect_ms = 0;
  int call_ms = 0;
  bool retry = false;
  const char* server = nullptr;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string opt = argv[i];
    bool has_arg = i + 1 < argc;
    if (opt == "--int")
      kind = ValueKind::integer;
    else if (opt == "--double")
      kind = ValueKind::real;
    else if (opt == "--text")
      kind = ValueKind::text;
    else if (opt == "--xml")
      kind = ValueKind::xml;
    else if (opt == "--retry")
      retry = true;
    else if (opt == "--server" && has_arg)
      server = argv[++i];
    else if (opt == "--connect-timeout" && has_arg)
      connect_ms = std::atoi(argv[++i]);
    else if (opt == "--timeout" && has_arg)
      call_ms = std::atoi(argv[++i]);
    else {
      usage();
      return 2;
    }
  }
  if (argc - i < 2) {
    usage();
    return 2;
  }
  std::string op = argv[i];
  velmor::EqAdr address;
  if (address.adr(argv[i + 1])) {
    std::printf("velmor-call: bad address %s\n", argv[i + 1]);
    return 2;
  }
  const char* value_arg = argc - i > 2 ? argv[i + 2] : nullptr;
  if ((op == "set" && value_arg == nullptr) || (op != "get" && op != "set" && op != "names")) {
    usage();
    return 2;
  }
  if (server != nullptr) {
    std::string hp = server;
    size_t colon = hp.rfind(':');
    std::string key = address.facility() +
                      (address.device().empty() ? "" : "/" + address.device()) +
                      (address.location().empty() ? "" : "/" + address.location());
    if (colon == std::string::npos ||
        velmor::register_server(key.c_str(), hp.substr(0, colon).c_str(),
                                std::atoi(hp.c_str() + colon + 1))) {
      std::printf("velmor-call: bad --server %s (want HOST:PORT)\n", server);
      return 2;
    }
  }

  velmor::EqData in, out;
  if (value_arg != nullptr) {
    std::string value;
    if (int failed = read_value(value_arg, &value)) return failed;
    if (fill_value(value, kind, &in)) return 2;
  }
  velmor::EqCall call;
  call.set_timeouts(connect_ms, call_ms);
  if (retry) call.set_option(&address, &in, &out, velmor::EQ_RETRY);
  int rc;
  if (op == "get")
    rc = call.get(&address, value_arg != nullptr ? &in : nullptr, &out);
  else if (op == "set")
    rc = call.set(&address, &in, &out);
  else
    rc = call.names(&address, &out);
  if (rc != 0) {
    std::printf("velmor-call: error %d: %s\n", out.error(), out.error_text());
    return 1;
  }
  print_result(out);
  return 0;
}
