// Bytes per second of the XML helper's reading against the limit, a bare Xerces-C
// SAX2 parse of the same document with an empty handler. Both create their
// parser for each document, as every protocol reader does. Ratios in
// docs/performance.md.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "orxa_chan_descr.h"
#include "orxa_xml.h"

namespace {

std::string request_document(int channels) {
  std::string doc;
  set_xml_header(doc);
  START_TAGN(doc, "DAQREQ");
  doc += "<ReqId id=\"4711\"/>\n<TStart time=\"2024-5-17T10:0:0\"/>\n<Exp name=\"linac\"/>\n";
  for (int i = 0; i < channels; ++i) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "<Chan name=\"SECTION/DEVICE%d/PROPERTY\" start=\"0\" length=\"100\" "
                  "tstart=\"0.500000\"/>\n",
                  i);
    doc += line;
  }
  END_TAGN(doc, "DAQREQ");
  return doc;
}

std::string descr_document(int channels) {
  std::vector<chan_descr_2010*> list;
  for (int i = 0; i < channels; ++i) {
    auto* c = new chan_descr_2010();
    std::snprintf(c->prop_name, sizeof c->prop_name, "LINAC/DEVICE%d/PROPERTY", i);
    std::snprintf(c->prop_desc, sizeof c->prop_desc, "a description with <special> & characters");
    auto* d = new dim_descr();
    d->stats.push_back(new stat_descr());
    d->nstats = 1;
    c->dims.push_back(d);
    c->ndims = 1;
    list.push_back(c);
  }
  std::string doc;
  dump_chan_desr(&list, nullptr, 2, 0, -1, &doc, nullptr);
  clean_chan_desr_list(&list);
  return doc;
}

void bare_xerces_parse(benchmark::State& state, const std::string& doc) {
  xercesc::XMLPlatformUtils::Initialize();
  xercesc::DefaultHandler empty;
  for (auto _ : state) {
    xercesc::SAX2XMLReader* parser = xercesc::XMLReaderFactory::createXMLReader();
    parser->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
    parser->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
    parser->setContentHandler(&empty);
    parser->setErrorHandler(&empty);
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(),
                                      "bench");
    parser->parse(source);
    delete parser;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
  xercesc::XMLPlatformUtils::Terminate();
}

void BM_BareXercesRequest(benchmark::State& state) {
  bare_xerces_parse(state, request_document(static_cast<int>(state.range(0))));
}

void BM_SaxMemoryParserRequest(benchmark::State& state) {
  std::string doc = request_document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    SAX_Memory_Parser parser(&doc[0]);
    parser.start();
    char* tag = nullptr;
    char* value = nullptr;
    int attrs = 0;
    while (parser.parse(&tag, &value) == 0) {
      if (tag == nullptr) continue;
      attrs += parser.get_attr("name", &value) == 0;
      attrs += parser.get_attr("start", &value) == 0;
    }
    benchmark::DoNotOptimize(attrs);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_BareXercesDescriptions(benchmark::State& state) {
  bare_xerces_parse(state, descr_document(static_cast<int>(state.range(0))));
}

void BM_ParseDescrListRead(benchmark::State& state) {
  std::string doc = descr_document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::vector<chan_descr_2010*> list;
    parse_descr_list_read(&doc[0], &list, false, false);
    clean_chan_desr_list(&list);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_DumpChanDesr(benchmark::State& state) {
  std::string doc = descr_document(static_cast<int>(state.range(0)));
  std::vector<chan_descr_2010*> list;
  parse_descr_list_read(&doc[0], &list, false, false);
  for (auto _ : state) {
    std::string out;
    dump_chan_desr(&list, nullptr, 2, 0, -1, &out, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
  clean_chan_desr_list(&list);
}

}  // namespace

BENCHMARK(BM_BareXercesRequest)->Arg(1)->Arg(1000);
BENCHMARK(BM_SaxMemoryParserRequest)->Arg(1)->Arg(1000);
BENCHMARK(BM_BareXercesDescriptions)->Arg(1000);
BENCHMARK(BM_ParseDescrListRead)->Arg(1000);
BENCHMARK(BM_DumpChanDesr)->Arg(1000);
BENCHMARK_MAIN();
