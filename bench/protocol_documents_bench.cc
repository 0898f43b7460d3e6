// Throughput of the protocol documents: writing and reading a request of 1, 100
// and 1000 channels and a reply with 1000 found files, in bytes per second. The
// limit in the same run is a bare Xerces-C SAX2 parse of the same bytes with an
// empty handler; the reader's goal is at least half of that for the 1000-channel
// request. Two limits are measured: with a new SAX2 reader per document (what
// every reader call must do, since it owns its parser) and with one reused reader
// (the parse alone).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "daq_server_util_def.h"

namespace {
using namespace xercesc;

void add_channel(daq_server_request& r, int k) {
  auto* e = static_cast<daq_channel_entry*>(std::calloc(1, sizeof(daq_channel_entry)));
  char name[64];
  std::snprintf(name, sizeof name, "LINAC/BPM.%d/POSITION.X", k);
  e->name = strdup(name);
  e->prms = orxa_chan_prms{0, 2, 1000, 1, 0.0f, 0.001f, 10.0f};
  r.chan_list.push_back(e);
}

struct Documents {
  std::map<int, std::string> requests;  // by channel count
  std::string reply;
  Documents() {
    for (int n : {1, 100, 1000}) {
      daq_server_request r;
      clean_request(&r);
      r.id = 4711;
      std::strcpy(r.t_start, "2024-5-17T10:0:0");
      std::strcpy(r.t_stop, "2024-5-17T10:5:0");
      r.cdir = "/daq/cat";
      for (int k = 0; k < n; ++k) add_channel(r, k);
      create_xml_daq_request(&r, requests[n], 1);
      clean_request(&r);
    }
    daq_server_reply rep;
    clean_reply(&rep);
    fill_reply(rep);
    create_xml_daq_reply(&rep, reply, nullptr);
    clean_reply(&rep);
  }
  static void fill_reply(daq_server_reply& rep) {
    rep.request.id = 4711;
    std::strcpy(rep.request.t_start, "2024-5-17T10:0:0");
    add_channel(rep.request, 0);
    rep.port = 5000;
    std::strcpy(rep.host, "daqhost");
    std::strcpy(rep.reason, "ok");
    rep.stat.files = 1000;
    for (int k = 0; k < 1000; ++k) {
      char name[96];
      std::snprintf(name, sizeof name, "/daq_data/linac/rf/2024/05/17/run%06d.raw", k);
      rep.stat.file_list.push_back(strdup(name));
    }
  }
};

const Documents& documents() {
  static Documents d;
  return d;
}

const std::string& document_for(int channels) {
  return channels > 0 ? documents().requests.at(channels) : documents().reply;
}

// ---- writers ----
void BM_WriteRequest(benchmark::State& state) {
  daq_server_request r;
  clean_request(&r);
  r.id = 4711;
  std::strcpy(r.t_start, "2024-5-17T10:0:0");
  r.cdir = "/daq/cat";
  for (int k = 0; k < state.range(0); ++k) add_channel(r, k);
  std::string out;
  for (auto _ : state) {
    create_xml_daq_request(&r, out, 1);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
  clean_request(&r);
}
BENCHMARK(BM_WriteRequest)->Arg(1)->Arg(100)->Arg(1000);

void BM_WriteReply1000Files(benchmark::State& state) {
  daq_server_reply rep;
  clean_reply(&rep);
  Documents::fill_reply(rep);
  std::string out;
  for (auto _ : state) {
    create_xml_daq_reply(&rep, out, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
  clean_reply(&rep);
}
BENCHMARK(BM_WriteReply1000Files);

// ---- readers ----
void BM_ParseRequest(benchmark::State& state) {
  std::string xml = document_for(static_cast<int>(state.range(0)));
  daq_server_request r;
  clean_request(&r);
  for (auto _ : state) {
    std::string work = xml;  // the reader takes a mutable text
    if (parse_daq_request(work.data(), &r) != 0) state.SkipWithError("parse failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
  clean_request(&r);
}
BENCHMARK(BM_ParseRequest)->Arg(1)->Arg(100)->Arg(1000);

void BM_ParseReply1000Files(benchmark::State& state) {
  std::string xml = document_for(0);
  daq_server_reply rep;
  clean_reply(&rep);
  for (auto _ : state) {
    std::string work = xml;
    if (parse_daq_reply(work.data(), &rep, nullptr) != 0) state.SkipWithError("parse failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
  clean_reply(&rep);
}
BENCHMARK(BM_ParseReply1000Files);

// ---- the limit: bare SAX2 parses with an empty handler ----
std::unique_ptr<SAX2XMLReader> new_bare_reader(DefaultHandler& handler) {
  std::unique_ptr<SAX2XMLReader> reader(XMLReaderFactory::createXMLReader());
  reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
  reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
  reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
  reader->setContentHandler(&handler);
  reader->setErrorHandler(&handler);
  return reader;
}

void bare_parse(SAX2XMLReader& reader, const std::string& xml) {
  MemBufInputSource source(reinterpret_cast<const XMLByte*>(xml.data()), xml.size(), "bench",
                           false);
  reader.parse(source);
}

// Arg: channels of the request, 0 for the reply.
void BM_BareSaxNewReader(benchmark::State& state) {
  const std::string& xml = document_for(static_cast<int>(state.range(0)));
  DefaultHandler handler;
  for (auto _ : state) {
    std::unique_ptr<SAX2XMLReader> reader = new_bare_reader(handler);
    bare_parse(*reader, xml);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(BM_BareSaxNewReader)->Arg(1)->Arg(100)->Arg(1000)->Arg(0);

void BM_BareSaxReusedReader(benchmark::State& state) {
  const std::string& xml = document_for(static_cast<int>(state.range(0)));
  DefaultHandler handler;
  std::unique_ptr<SAX2XMLReader> reader = new_bare_reader(handler);
  for (auto _ : state) bare_parse(*reader, xml);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(BM_BareSaxReusedReader)->Arg(1)->Arg(100)->Arg(1000)->Arg(0);

// Keeps every run's bytes per second so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratio(const char* label, const std::string& ours, const std::string& limit,
                   double goal) const {
    auto a = find(ours);
    auto b = find(limit);
    if (a == rates_.end() || b == rates_.end() || b->second <= 0) return;
    double ratio = a->second / b->second;
    std::printf("ratio %-52s %6.3f%s\n", label, ratio,
                goal > 0 ? (ratio >= goal ? "  (goal met)" : "  (goal MISSED)") : "");
  }

 private:
  // With --benchmark_repetitions the median stands for the run.
  std::map<std::string, double>::const_iterator find(const std::string& name) const {
    auto median = rates_.find(name + "_median");
    return median != rates_.end() ? median : rates_.find(name);
  }
  std::map<std::string, double> rates_;
};
}  // namespace

int main(int argc, char** argv) {
  XMLPlatformUtils::Initialize();
  documents();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf(
      "\nbytes/s of the protocol reader over the bare SAX2 parse (goal >= 0.5 for 1000 "
      "channels):\n");
  for (const char* n : {"1", "100", "1000"}) {
    std::string label = std::string("parse_daq_request ") + n + " ch / bare, new reader";
    reporter.print_ratio(label.c_str(), std::string("BM_ParseRequest/") + n,
                         std::string("BM_BareSaxNewReader/") + n,
                         std::strcmp(n, "1000") == 0 ? 0.5 : 0);
    label = std::string("parse_daq_request ") + n + " ch / bare, reused reader";
    reporter.print_ratio(label.c_str(), std::string("BM_ParseRequest/") + n,
                         std::string("BM_BareSaxReusedReader/") + n, 0);
  }
  reporter.print_ratio("parse_daq_reply 1000 files / bare, new reader", "BM_ParseReply1000Files",
                       "BM_BareSaxNewReader/0", 0);
  reporter.print_ratio("parse_daq_reply 1000 files / bare, reused reader", "BM_ParseReply1000Files",
                       "BM_BareSaxReusedReader/0", 0);
  benchmark::Shutdown();
  XMLPlatformUtils::Terminate();
  return 0;
}
