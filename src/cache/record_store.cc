// EqEvstore: the store half. Each legacy/_2024 pair forwards to one template body
// in record_store.h; this file adds only what is not per list (depth, tolerance,
// the lock, the two-list operations).
#include "record_store.h"

#include "cache_generation.h"
#include "daq_diag.h"
#include "velmor.h"

using Legacy = RecordStore<LegacyGen>;
using Store2024 = RecordStore<Gen2024>;

void print_entry(const eq_evstore_entry* entry) {
  if (entry == nullptr) return;
  const EqData_dtype* d = entry->data;
  daq_print("Chan: %s Device: %d Dtype: %d type:", entry->name, d ? d->devtype : 0,
            d ? d->dtype : 0);
  if (d != nullptr && d->data != nullptr)
    daq_print("%d\n", d->data->type());
  else
    daq_line("not set");
}

EqEvstore::EqEvstore(int dpth) : depth(dpth), max_time_diff(101.0f), depthinc(1000) {
  pthread_mutex_init(&mlock, nullptr);
}

// The mutex is left alone: a receiver may still be unwinding a thread that holds
// the address, and destroying a default POSIX mutex releases nothing.
EqEvstore::~EqEvstore() { CleanCache(); }

void EqEvstore::lock() { pthread_mutex_lock(&mlock); }
void EqEvstore::unlock() { pthread_mutex_unlock(&mlock); }

bool EqEvstore::SetDepth(int dpth) {
  if (dpth <= 0) return true;
  OptionalCacheLock guard(&mlock, true);
  depth = dpth;
  return false;
}

int EqEvstore::GetDepth() { return depth; }
int EqEvstore::SetInc(int d) { return depthinc = d; }
int EqEvstore::GetInc() { return depthinc; }

void EqEvstore::SetTimeDiff(float df) {
  OptionalCacheLock guard(&mlock, true);
  max_time_diff = df;
}

bool EqEvstore::IsFull() { return static_cast<long>(cache.size()) == depth; }
bool EqEvstore::IsFull_2024() { return static_cast<long>(cache_2024.size()) == depth; }
bool EqEvstore::IsEmpty() { return cache.empty(); }
bool EqEvstore::IsEmpty_2024() { return cache_2024.empty(); }

int EqEvstore::GetNRecords(bool how) {
  OptionalCacheLock guard(&mlock, how);
  return static_cast<int>(cache.size());
}
int EqEvstore::GetNRecords_2024(bool how) {
  OptionalCacheLock guard(&mlock, how);
  return static_cast<int>(cache_2024.size());
}

bool EqEvstore::AddRecord(eq_evstore_record* rec) { return Legacy::add(*this, rec, true); }
bool EqEvstore::AddRecord_2024(eq_evstore_record_2024* rec) {
  return Store2024::add(*this, rec, true);
}

bool EqEvstore::RemRecord(int pos, bool how) { return Legacy::remove_at(*this, pos, how); }
bool EqEvstore::RemRecord_2024(int pos, bool how) { return Store2024::remove_at(*this, pos, how); }
bool EqEvstore::RemRecord(eq_evstore_record* rec, bool how) {
  return Legacy::remove(*this, rec, how);
}
bool EqEvstore::RemRecord_2024(eq_evstore_record_2024* rec, bool how) {
  return Store2024::remove(*this, rec, how);
}

bool EqEvstore::RemEntry(eq_evstore_record* rec, eq_evstore_entry* ent) {
  return Legacy::remove_entry(rec, ent);
}
bool EqEvstore::RemEntry_2024(eq_evstore_record_2024* rec, eq_evstore_entry* ent) {
  return Store2024::remove_entry(rec, ent);
}

void EqEvstore::clean_record(eq_evstore_record* rec, bool how) { Legacy::clean(*this, rec, how); }
void EqEvstore::clean_record_2024(eq_evstore_record_2024* rec, bool how) {
  Store2024::clean(*this, rec, how);
}

void EqEvstore::CleanCache() {
  OptionalCacheLock guard(&mlock, true);
  Legacy::clear_list(*this);
  Store2024::clear_list(*this);
}

void EqEvstore::SetRecordSeen(bool seen, eq_evstore_record* rec) { Legacy::set_seen(seen, rec); }
void EqEvstore::SetRecordSeen_2024(bool seen, eq_evstore_record_2024* rec) {
  Store2024::set_seen(seen, rec);
}

void EqEvstore::ClenAllSeen() {
  for (eq_evstore_record* r : cache) Legacy::set_seen(false, r);
  for (eq_evstore_record_2024* r : cache_2024) Store2024::set_seen(false, r);
}

void EqEvstore::PrintEntry(eq_evstore_entry* entry) { print_entry(entry); }
void EqEvstore::PrintRecord(eq_evstore_record* rec) { Legacy::print(rec); }
void EqEvstore::PrintRecord_2024(eq_evstore_record_2024* rec) { Store2024::print(rec); }

void EqEvstore::PrintAll(bool how) {
  OptionalCacheLock guard(&mlock, how);
  Legacy::print_list(*this, "DAQ CACHE");
  Store2024::print_list(*this, "DAQ CACHE2024");
}
