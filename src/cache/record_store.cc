// EqEvstore: the store half. Each legacy/_2024 pair forwards to one template body
// in record_store.h; this file adds only what is not per list (depth, tolerance,
// the lock, the two-list operations) and the release of what the store owns.
#include "record_store.h"

#include <cstddef>
#include <cstdlib>

#include "daq_generation.h"
#include "velmor.h"

using Legacy = RecordStore<LegacyGen>;
using Store2024 = RecordStore<Gen2024>;

// Receivers hold a DAQEqEvstore by value and applications compile against the
// public header: the layout does not move.
static_assert(offsetof(EqEvstore, depth) == 0 && offsetof(EqEvstore, cache) == 8 &&
                  offsetof(EqEvstore, cache_2024) == 32 &&
                  offsetof(EqEvstore, max_time_diff) == 56 && offsetof(EqEvstore, mlock) == 64 &&
                  offsetof(EqEvstore, depthinc) == 104 && sizeof(EqEvstore) == 112,
              "EqEvstore's public layout");

void release_type_record(EqData_dtype* type_record) {
  if (type_record == nullptr) return;
  delete type_record->data;
  std::free(type_record->slblock);
  delete type_record;
}

void release_entry(eq_evstore_entry* entry) {
  if (entry == nullptr) return;
  release_type_record(entry->data);
  delete entry;
}

void release_entries(std::vector<eq_evstore_entry*>& entries) {
  for (eq_evstore_entry* e : entries) release_entry(e);
  entries.clear();
}

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
EqEvstore::~EqEvstore() {
  CleanCache();
  drop_store_index(*this);
}

void EqEvstore::lock() { pthread_mutex_lock(&mlock); }
void EqEvstore::unlock() { pthread_mutex_unlock(&mlock); }

bool EqEvstore::SetDepth(int dpth) {
  if (dpth <= 0) return true;
  CacheLockScope lock(*this, true);
  depth = dpth;
  return false;
}

int EqEvstore::GetDepth() { return depth; }
int EqEvstore::SetInc(int d) { return depthinc = d; }
int EqEvstore::GetInc() { return depthinc; }

void EqEvstore::SetTimeDiff(float df) {
  CacheLockScope lock(*this, true);
  max_time_diff = df;
}

bool EqEvstore::IsFull() {
  CacheLockScope held(*this, false);
  return Legacy::is_full_locked(*this);
}
bool EqEvstore::IsFull_2024() {
  CacheLockScope held(*this, false);
  return Store2024::is_full_locked(*this);
}
bool EqEvstore::IsEmpty() {
  CacheLockScope held(*this, false);
  return records<LegacyGen>(*this).empty();
}
bool EqEvstore::IsEmpty_2024() {
  CacheLockScope held(*this, false);
  return records<Gen2024>(*this).empty();
}

int EqEvstore::GetNRecords(bool how) {
  CacheLockScope lock(*this, how);
  return static_cast<int>(records<LegacyGen>(*this).size());
}
int EqEvstore::GetNRecords_2024(bool how) {
  CacheLockScope lock(*this, how);
  return static_cast<int>(records<Gen2024>(*this).size());
}

bool EqEvstore::AddRecord(eq_evstore_record* rec) { return Legacy::add(*this, rec); }
bool EqEvstore::AddRecord_2024(eq_evstore_record_2024* rec) { return Store2024::add(*this, rec); }

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

void EqEvstore::CleanCache() {
  CacheLockScope lock(*this, true);
  Legacy::clear_locked(*this);
  Store2024::clear_locked(*this);
}

void EqEvstore::SetRecordSeen(bool seen, eq_evstore_record* rec) {
  CacheLockScope held(*this, false);
  Legacy::set_seen(*this, seen, rec);
}
void EqEvstore::SetRecordSeen_2024(bool seen, eq_evstore_record_2024* rec) {
  CacheLockScope held(*this, false);
  Store2024::set_seen(*this, seen, rec);
}

void EqEvstore::ClenAllSeen() {
  CacheLockScope held(*this, false);
  Legacy::clear_seen_locked(*this);
  Store2024::clear_seen_locked(*this);
}

void EqEvstore::PrintEntry(eq_evstore_entry* entry) { print_entry(entry); }
void EqEvstore::PrintRecord(eq_evstore_record* rec) { Legacy::print(rec); }
void EqEvstore::PrintRecord_2024(eq_evstore_record_2024* rec) { Store2024::print(rec); }

void EqEvstore::PrintAll(bool how) {
  CacheLockScope lock(*this, how);
  Legacy::print_list_locked(*this, "DAQ CACHE");
  Store2024::print_list_locked(*this, "DAQ CACHE2024");
}
