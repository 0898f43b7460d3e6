// EqDAQdata2024: the 2024 receiver. Every operation forwards to the body shared
// with EqDAQdata (receiver_body.h).
#include "eq_daq_data_2024.h"

#include "end_data_status.h"
#include "receiver_body.h"

using Body = DaqReceiverBody<Gen2024>;

EqDAQdata2024::EqDAQdata2024(int dep, int inc)
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

EqDAQdata2024::~EqDAQdata2024() { Body::destroy(*this); }

void EqDAQdata2024::init() { Body::init(*this); }
void EqDAQdata2024::clear_monitor() { Body::init(*this); }
void EqDAQdata2024::lock() { pthread_mutex_lock(&mlock); }
void EqDAQdata2024::unlock() { pthread_mutex_unlock(&mlock); }
void EqDAQdata2024::set_done(bool d) { done = d; }
void EqDAQdata2024::set_swap(bool s) { must_swap = s; }
bool EqDAQdata2024::set_cache_depth(int dep) { return Body::set_cache_depth(*this, dep); }
bool EqDAQdata2024::set_reply(daq_server_reply* rep) { return Body::set_reply(*this, rep); }
bool EqDAQdata2024::connect() { return Body::connect(*this); }
bool EqDAQdata2024::start_receiver(bool block) { return Body::start_receiver(*this, block); }
void EqDAQdata2024::stop_receiver() { Body::stop_receiver(*this); }
void EqDAQdata2024::reset_thr_id() { Body::reset_thr_id(*this); }
bool EqDAQdata2024::if_thread_is_over() { return thr_id.load() == 0; }
int EqDAQdata2024::get_end_data_status() { return end_data_status; }
void EqDAQdata2024::set_end_data_status(uint64_t st) {
  end_data_status = static_cast<int>(static_cast<uint32_t>(st));
}
const char* EqDAQdata2024::get_end_data_status_string() {
  return end_data_status_text(end_data_status);
}
DAQEqEvstore* EqDAQdata2024::get_cache() { return &cache; }
int EqDAQdata2024::get_number_of_entries() { return cache.GetNRecords_2024(true); }
void EqDAQdata2024::print_record(eq_evstore_record_2024* rec) { cache.PrintRecord_2024(rec); }

int EqDAQdata2024::get_monitor(int* ent) { return Body::status_query(*this, ent); }
bool EqDAQdata2024::get_monitor(time_stamp* tm, int how) {
  return Body::time_bound(*this, tm, how);
}
bool EqDAQdata2024::get_monitor(uint64_t* ev_num, int how) {
  return Body::number_bound(*this, ev_num, how);
}
int EqDAQdata2024::get_monitor(uint64_t evnum, time_stamp* tm, std::vector<EqData_dtype*>** out,
                               char* chan, int how, int rem, eq_evstore_record_2024** rc) {
  return Body::record_query(*this, evnum, tm, out, chan, how, rem, rc);
}
int EqDAQdata2024::get_monitor(std::vector<EqData_dtype*>** out, DAQ_get_options_2024* op,
                               eq_evstore_record_2024** rc) {
  return Body::options_query(*this, out, op, rc);
}

bool EqDAQdata2024::set_idle_timeout(int milliseconds) {
  return Body::set_idle_timeout(*this, milliseconds);
}
int EqDAQdata2024::get_idle_timeout() { return idle_timeout_ms; }
uint64_t EqDAQdata2024::get_dropped_events() { return Body::dropped_events(*this); }
uint64_t EqDAQdata2024::get_dropped_sub_blocks() { return Body::dropped_sub_blocks(*this); }
const char* EqDAQdata2024::get_link_failure_string() { return Body::link_failure_text(*this); }

void* receiver_thread_2024(void* prm) { return Body::thread_main(prm); }
void all_handler_2024(int) {}
