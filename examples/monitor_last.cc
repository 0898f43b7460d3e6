// Monitor one channel while a stream runs: every half second, show the newest
// record of the channel, as a display panel would, until the stream ends.
//
//   monitor_last SERVER-ENTRY START STOP CHANNEL
//
// The panel reads the channel's newest record, then takes every record out of
// the cache so the server keeps sending.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "eq_daq_connect.h"
#include "eq_daq_data.h"
#include "eq_daq_data_2024.h"
#include "velmor.h"

namespace {

void release(std::vector<EqData_dtype*>* values) {
  for (EqData_dtype* v : *values) {
    delete v->data;
    std::free(v->slblock);
    delete v;
  }
  delete values;
}

template <class Receiver, class Options>
int monitor(Receiver& receiver, const char* channel) {
  Options query{};
  std::strncpy(query.chan, channel, sizeof query.chan - 1);
  query.access = DAQ_GET_LAST | EQCACHE_FIND_TIME;  // newest by time, kept in the cache
  long shown = -1;
  for (;;) {
    std::vector<EqData_dtype*>* values = nullptr;
    int rc = receiver.get_monitor(&values, &query, nullptr);
    if (values != nullptr) {
      const velmor::EqData* d = values->empty() ? nullptr : (*values)[0]->data;
      if (d != nullptr && d->get_mpnum() != shown) {
        shown = d->get_mpnum();
        char text[128];
        std::printf("event %ld at %ld.%06d: %s (%d values)\n", shown, d->get_time_seconds(),
                    d->get_time_microseconds(), d->get_string(text, sizeof text),
                    d->get_spectrum(0) ? static_cast<int>(d->get_spectrum(0)->data.size())
                                       : d->value_count());
      }
      release(values);
    }
    // The panel needs only the newest record: take out everything that has
    // arrived (earliest first), which also lets a paused server go on.
    for (;;) {
      std::vector<EqData_dtype*>* old = nullptr;
      if (!(receiver.get_monitor(&old, nullptr, nullptr) & DAQ_MON_DATA)) break;
      release(old);
    }
    if (!(rc & DAQ_MON_DATA) && (rc & (DAQ_MON_NO_MORE | DAQ_MON_NO_THREAD))) break;
    if (receiver.if_thread_is_over() && (receiver.get_monitor(nullptr) & DAQ_MON_EMPTY)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  std::printf("end of data: %s\n", receiver.get_end_data_status_string());
  return 0;
}

template <class Receiver, class Options>
int run(daq_server_reply* reply, const char* channel) {
  Receiver receiver(0, 0);
  if (receiver.set_reply(reply) || receiver.connect() || receiver.start_receiver(false)) {
    std::fprintf(stderr, "cannot open the data stream at %s:%d\n", reply->host, reply->port);
    return 1;
  }
  int rc = monitor<Receiver, Options>(receiver, channel);
  receiver.stop_receiver();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s SERVER-ENTRY START STOP CHANNEL\n", argv[0]);
    return 2;
  }
  velmor::EqCall call;
  EqDAQconnect connection(&call, nullptr);
  connection.set_start_time(argv[2]);
  connection.set_stop_time(argv[3]);
  connection.add_channel(argv[4]);
  int rc = connection.connect(argv[1][0] != '\0' ? argv[1] : nullptr);
  if (rc != 0) {
    std::fprintf(stderr, "request failed: %s (%s)\n", connection.get_error(rc),
                 connection.get_reply_error());
    return 1;
  }
  daq_server_reply* reply = connection.get_server_reply();
  return reply->evid64bitmode ? run<EqDAQdata2024, DAQ_get_options_2024>(reply, argv[4])
                              : run<EqDAQdata, DAQ_get_options>(reply, argv[4]);
}
