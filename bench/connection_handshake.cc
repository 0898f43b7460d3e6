// EqDAQconnect::connect against an embedded DAQ data server over loopback, and
// the limit: the same two property calls (a set of DAQ.REQ, a get of DAQ.REP<n>)
// with the same documents, answered by canned handlers without any work. The
// difference is what the handshake costs on top of the transport: validation,
// writing and reading the documents, the server's planning and its data link.
#include <benchmark/benchmark.h>

#include <cstring>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "cached_readers.h"
#include "daq_data_server.h"
#include "daq_server_util_def.h"
#include "eq_daq_connect.h"
#include "orxa_xml.h"
#include "velmor.h"
#include "velmor_server.h"

namespace {

void fill(EqDAQconnect& c, int type) {
  c.set_start_time("2025-3-1T10:0:0");
  c.set_stop_time("2025-3-1T10:0:10");
  c.add_channel("DIAG/TOROID/T1.SPECT");
  c.add_channel("CAMERA/SCREEN/IMAGE");
  c.set_request_type(type);
}

DaqDataServer& server() {
  static DaqDataServer* s = [] {
    DaqServerOptions o;
    o.device = "BENCH.HANDSHAKE";
    o.max_requests = 1000000;
    o.accept_timeout_ms = 1;  // nobody connects: free each stream at once
    auto* d = new DaqDataServer(o);
    d->start();
    return d;
  }();
  return *s;
}

// Canned answers captured from one real handshake of the given request type.
struct Canned {
  std::string request, first, final_answer;
  velmor::PropertyServer raw;
  explicit Canned(int type) {
    daq_server_request r;
    clean_request(&r);
    velmor::EqCall call;
    EqDAQconnect c(&call, nullptr);
    fill(c, type);
    c.connect(server().entry().c_str());  // validates and completes the request
    create_xml_daq_request(c.get_server_request(), request, 1);
    velmor::EqAdr adr;
    velmor::EqData in, out;
    in.set_xml(request);
    adr.adr(server().entry() + "DAQ.REQ");
    call.set(&adr, &in, &out);
    first = out.get_xml();
    daq_server_reply reply;
    clean_reply(&reply);
    parse_daq_reply(out.get_xml(), &reply, nullptr);
    adr.adr(server().entry() + "DAQ.REP" + std::to_string(reply.port));
    call.get(&adr, nullptr, &out);
    final_answer = out.get_xml();
    clean_reply(&reply);
    clean_request(&r);
    raw.add_property(
        "DAQ.REQ",
        [this](const std::string&, const velmor::EqData&, velmor::EqData& o) {
          o.set_xml(first);
          return 0;
        },
        nullptr);
    raw.add_property("DAQ.REP1", nullptr,
                     [this](const std::string&, const velmor::EqData&, velmor::EqData& o) {
                       o.set_xml(final_answer);
                       return 0;
                     });
    raw.start("127.0.0.1", 0);
    velmor::register_server(("BENCH.RAW/T" + std::to_string(type)).c_str(), "127.0.0.1",
                            raw.port());
  }
};

Canned& canned(int type) {
  static Canned* data = new Canned(1);
  static Canned* list = new Canned(2);
  return type == 1 ? *data : *list;
}

// The floor of a connect: the two bare calls plus what no handshake can skip,
// reading its three documents (the request on the server, both answers on the
// client) with the XML library's cheapest parse: a kept reader, the
// well-formedness scanner, an empty handler.
class BareParser {
 public:
  BareParser() {
    xercesc::XMLPlatformUtils::Initialize();
    reader_.reset(xercesc::XMLReaderFactory::createXMLReader());
    reader_->setProperty(xercesc::XMLUni::fgXercesScannerName,
                         const_cast<XMLCh*>(xercesc::XMLUni::fgWFXMLScanner));
    reader_->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
    reader_->setContentHandler(&handler_);
    reader_->setErrorHandler(&handler_);
  }
  void parse(const char* xml) {
    std::lock_guard<std::mutex> guard(lock_);
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(xml), std::strlen(xml),
                                      u"bench", false);
    reader_->parse(source);
  }

 private:
  std::mutex lock_;
  xercesc::DefaultHandler handler_;
  std::unique_ptr<xercesc::SAX2XMLReader> reader_;
};

struct Floor {
  BareParser client, server;
  velmor::PropertyServer raw;
  explicit Floor(int type) {
    Canned& k = canned(type);
    raw.add_property(
        "DAQ.REQ",
        [this, &k](const std::string&, const velmor::EqData& in, velmor::EqData& o) {
          server.parse(in.get_xml());
          o.set_xml(k.first);
          return 0;
        },
        nullptr);
    raw.add_property("DAQ.REP1", nullptr,
                     [&k](const std::string&, const velmor::EqData&, velmor::EqData& o) {
                       o.set_xml(k.final_answer);
                       return 0;
                     });
    raw.start("127.0.0.1", 0);
    velmor::register_server(("BENCH.FLOOR/T" + std::to_string(type)).c_str(), "127.0.0.1",
                            raw.port());
  }
};

void BM_Connect(benchmark::State& state) {
  int type = static_cast<int>(state.range(0));
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill(c, type);
  std::string entry = server().entry();
  for (auto _ : state) {
    if (c.connect(entry.c_str()) != 0) state.SkipWithError("connect failed");
  }
}

// The two calls to the canned server `name`; `parser` reads both answers, if given.
void bare_calls(benchmark::State& state, const char* name, BareParser* parser) {
  int type = static_cast<int>(state.range(0));
  velmor::EqCall call;
  velmor::EqAdr req, rep;
  std::string prefix = name + std::to_string(type) + "/DAQ.DATA.SVR/";
  req.adr(prefix + "DAQ.REQ");
  rep.adr(prefix + "DAQ.REP1");
  velmor::EqData in, out;
  in.set_xml(canned(type).request);
  for (auto _ : state) {
    call.set(&req, &in, &out);
    if (parser != nullptr) parser->parse(out.get_xml());
    call.get(&rep, nullptr, &out);
    if (parser != nullptr) parser->parse(out.get_xml());
    if (out.error() != 0) state.SkipWithError("call failed");
  }
}

void BM_BareCalls(benchmark::State& state) { bare_calls(state, "BENCH.RAW/T", nullptr); }

void BM_BareCallsAndParses(benchmark::State& state) {
  int type = static_cast<int>(state.range(0));
  static Floor* floors[3] = {nullptr, nullptr, nullptr};
  if (floors[type] == nullptr) floors[type] = new Floor(type);
  bare_calls(state, "BENCH.FLOOR/T", &floors[type]->client);
}

// The client's own work in one connect, one piece at a time (no transport):
// 0 validating the request, 1 writing it, 2 reading it with a new parser (as
// the readers of the public interface do), 3 reading it with a kept parser,
// 4 reading the final answer with a kept parser.
void BM_ConnectPart(benchmark::State& state) {
  int part = static_cast<int>(state.range(0));
  Canned& k = canned(1);
  velmor::EqCall call;
  EqDAQconnect c(&call, nullptr);
  fill(c, 1);
  daq_server_request* r = c.get_server_request();
  daq_server_reply reply;
  clean_reply(&reply);
  SAX_Parser_Cache cache;
  std::string text;
  for (auto _ : state) {
    int rc = 0;
    switch (part) {
      case 0:
        rc = validate_daq_request(r, true);
        break;
      case 1:
        text.clear();
        create_xml_daq_request(r, text, 1);
        break;
      case 2:
      case 3:
        text = k.request;
        rc = parse_daq_request(&text[0], &reply.request, part == 3 ? &cache : nullptr);
        break;
      default:
        text = k.final_answer;
        rc = parse_daq_reply(&text[0], &reply, nullptr, &cache);
        break;
    }
    if (rc != 0) state.SkipWithError("failed");
  }
  clean_reply(&reply);
}

}  // namespace

BENCHMARK(BM_ConnectPart)->DenseRange(0, 4);
BENCHMARK(BM_Connect)->Arg(1)->Arg(2)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BareCalls)->Arg(1)->Arg(2)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BareCallsAndParses)->Arg(1)->Arg(2)->UseRealTime()->MinTime(2.0);
BENCHMARK_MAIN();
