// EqDAQdata: the legacy receiver. Every operation forwards to the body shared with
// EqDAQdata2024 (receiver_body.h).
#include "eq_daq_data.h"

#include "end_data_status.h"
#include "receiver_body.h"

using Body = DaqReceiverBody<LegacyGen>;

EqDAQdata::EqDAQdata(int dep, int inc)
    : depth(-1),
      must_swap(false),
      cache(50),
      reply(),
      dlink(nullptr),
      thr_id(0),
      mlock(),
      dtask(nullptr),
      done(false),
      end_data_status(-1),
      idle_timeout_ms(DAQ_RECEIVER_DEFAULT_IDLE_TIMEOUT_MS),
      dropped_events(0) {
  Body::construct(*this, dep, inc);
}

EqDAQdata::~EqDAQdata() { Body::destroy(*this); }

void EqDAQdata::init() { Body::init(*this); }
void EqDAQdata::clear_monitor() { Body::init(*this); }
void EqDAQdata::lock() { pthread_mutex_lock(&mlock); }
void EqDAQdata::unlock() { pthread_mutex_unlock(&mlock); }
void EqDAQdata::set_done(bool d) { done = d; }
void EqDAQdata::set_swap(bool s) { must_swap = s; }
bool EqDAQdata::set_cache_depth(int dep) { return Body::set_cache_depth(*this, dep); }
bool EqDAQdata::set_reply(daq_server_reply* rep) { return Body::set_reply(*this, rep); }
bool EqDAQdata::connect() { return Body::connect(*this); }
bool EqDAQdata::start_receiver(bool block) { return Body::start_receiver(*this, block); }
void EqDAQdata::stop_receiver() { Body::stop_receiver(*this); }
void EqDAQdata::reset_thr_id() { Body::reset_thr_id(*this); }
bool EqDAQdata::if_thread_is_over() { return thr_id.load() == 0; }
int EqDAQdata::get_end_data_status() { return end_data_status; }
void EqDAQdata::set_end_data_status(int st) { end_data_status = st; }
const char* EqDAQdata::get_end_data_status_string() {
  return end_data_status_text(end_data_status);
}
DAQEqEvstore* EqDAQdata::get_cache() { return &cache; }
int EqDAQdata::get_number_of_entries() { return cache.GetNRecords(true); }
void EqDAQdata::print_record(eq_evstore_record* rec) { cache.PrintRecord(rec); }

int EqDAQdata::get_monitor(int* ent) { return Body::status_query(*this, ent); }
bool EqDAQdata::get_monitor(time_stamp* tm, int how) { return Body::time_bound(*this, tm, how); }
bool EqDAQdata::get_monitor(int* ev_num, int how) { return Body::number_bound(*this, ev_num, how); }
int EqDAQdata::get_monitor(int evnum, time_stamp* tm, std::vector<EqData_dtype*>** out, char* chan,
                           int how, int rem, eq_evstore_record** rc) {
  return Body::record_query(*this, evnum, tm, out, chan, how, rem, rc);
}
int EqDAQdata::get_monitor(std::vector<EqData_dtype*>** out, DAQ_get_options* op,
                           eq_evstore_record** rc) {
  return Body::options_query(*this, out, op, rc);
}

bool EqDAQdata::set_idle_timeout(int milliseconds) {
  return Body::set_idle_timeout(*this, milliseconds);
}
int EqDAQdata::get_idle_timeout() { return idle_timeout_ms; }
uint64_t EqDAQdata::get_dropped_events() { return Body::dropped_events(*this); }
uint64_t EqDAQdata::get_dropped_sub_blocks() { return Body::dropped_sub_blocks(*this); }
const char* EqDAQdata::get_link_failure_string() { return Body::link_failure_text(*this); }

void* receiver_thread(void* prm) { return Body::thread_main(prm); }
void all_handler(int) {}
