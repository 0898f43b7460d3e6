// Fetch a time range of a few channels and print every record.
//
//   fetch_range SERVER-ENTRY START STOP CHANNEL...
//   fetch_range LUMAR.DAQ/DAQ.SERVER1/DAQ.DATA.SVR/ 2025-03-01T10:00:00
//               2025-03-01T10:00:10 DIAG/TOROID/T1.SPECT SLOW/TEMP/T1   (one line)
//
// An empty SERVER-ENTRY ("") uses ORXA_DAQ_SERVERS or the LUMAR list. Times are
// read in the experiment's zone (ORXA_EXP_TIMEZONE, default CET).
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

void print(const std::vector<EqData_dtype*>& values) {
  for (const EqData_dtype* v : values) {
    if (v->slblock != nullptr) {
      std::printf("  slow-data block of %u values\n", v->slblock->channels_number);
      continue;
    }
    const velmor::EqData* d = v->data;
    const velmor::SpectrumElement* s = d->get_spectrum(0);
    std::printf("  event %ld  time %ld.%06d  data type %d", d->get_mpnum(), d->get_time_seconds(),
                d->get_time_microseconds(), v->dtype);
    if (s != nullptr) {
      std::printf("  %s: %zu values, first %g", s->comment.c_str(), s->data.size(),
                  s->data.empty() ? 0.0 : s->data[0]);
    } else if (d->get_image_header() != nullptr) {
      std::printf("  image %dx%d", d->get_image_header()->width, d->get_image_header()->height);
    } else if (d->value_count() > 0) {
      std::printf("  %d values, first %g", d->value_count(), d->get_double(0));
    }
    std::printf("\n");
  }
}

// Takes every record, earliest first, until the stream has ended.
template <class Receiver>
int drain(Receiver& receiver) {
  long records = 0;
  for (;;) {
    std::vector<EqData_dtype*>* values = nullptr;
    int rc = receiver.get_monitor(&values, nullptr, nullptr);
    if (values != nullptr) {
      std::printf("record %ld\n", ++records);
      print(*values);
      release(values);
      continue;
    }
    if (rc & DAQ_MON_NO_MORE) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::printf("%ld records; end of data: %s\n", records, receiver.get_end_data_status_string());
  return receiver.get_end_data_status() == -3 ? 0 : 1;
}

template <class Receiver>
int receive(daq_server_reply* reply) {
  Receiver receiver(0, 0);  // depth from the reply
  if (receiver.set_reply(reply) || receiver.connect() || receiver.start_receiver(false)) {
    std::fprintf(stderr, "cannot open the data stream at %s:%d\n", reply->host, reply->port);
    return 1;
  }
  int rc = drain(receiver);
  receiver.stop_receiver();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s SERVER-ENTRY START STOP CHANNEL...\n", argv[0]);
    return 2;
  }
  velmor::EqCall call;
  EqDAQconnect connection(&call, nullptr);
  connection.set_start_time(argv[2]);
  connection.set_stop_time(argv[3]);
  for (int i = 4; i < argc; ++i) connection.add_channel(argv[i]);

  int rc = connection.connect(argv[1][0] != '\0' ? argv[1] : nullptr);
  if (rc != 0) {
    std::fprintf(stderr, "request failed: %s (%s)\n", connection.get_error(rc),
                 connection.get_reply_error());
    return 1;
  }
  daq_server_reply* reply = connection.get_server_reply();
  std::printf("%s\n", reply->reason);
  for (const char* missing : reply->stat.nf_chan_list) std::printf("not found: %s\n", missing);
  return reply->evid64bitmode ? receive<EqDAQdata2024>(reply) : receive<EqDAQdata>(reply);
}
