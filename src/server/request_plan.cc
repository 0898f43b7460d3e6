// Request planning. Data exist from the origin up to now at the pulse rate; run r
// covers the hour [origin + 3600 (r - 1), origin + 3600 r) and is stored in the
// file run%06d.raw. Everything is computed in 64 bits and checked against the
// served maximum before anything is allocated for the stream.
#include "request_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "decimal_text.h"
#include "event_synth.h"
#include "tidewire.h"

namespace {

constexpr int64_t kRunSeconds = 3600;
constexpr uint64_t kLegacyLimit = 0x7fffffffu;  // legacy numbers must read as non-negative

std::string file_of_run(int64_t run) {
  char name[32];
  if (run < 0) {
    std::snprintf(name, sizeof name, "run%06lld.raw", static_cast<long long>(run));
    return name;
  }
  // The usual case without printf, which cost more than the rest of the plan.
  std::string digits;
  append_decimal(digits, run);
  std::string text = "run";
  text.append(digits.size() < 6 ? 6 - digits.size() : 0, '0');
  text += digits;
  text += ".raw";
  return text;
}

// The run a file name names (base name run%06d.raw), or 0.
int64_t run_of_file(const char* path) {
  const char* base = std::strrchr(path, '/');
  base = base != nullptr ? base + 1 : path;
  long long run = 0;
  char tail = 0;
  if (std::strlen(base) != 13 || std::sscanf(base, "run%6lld.ra%c", &run, &tail) != 2 ||
      tail != 'w' || run < 1) {
    return 0;
  }
  return run;
}

// The channel as the entry's sampling parameters ask for it: *sampled stays
// empty when the whole catalog channel is asked for, holds a sampled copy for an
// index range; true with *why when the parameters cannot be honoured. Negative
// values (inc and tinc: not above 0) are "not given".
bool resolve_sampling(const CatalogChannel& c, const orxa_chan_prms& p,
                      std::shared_ptr<const CatalogChannel>* sampled, std::string* why) {
  if (p.func > 0) {
    *why = "function code " + std::to_string(p.func) + " is not served, only 0: plain samples";
    return true;
  }
  if (p.tstart >= 0.0f || p.tlength >= 0.0f || p.tinc > 0.0f) {
    *why = "sampling in the time form is not served";
    return true;
  }
  if (p.start < 0 && p.length < 0 && p.inc <= 0) return false;
  if (!channel_has_samples(c.kind)) {
    *why = std::string("a channel of kind ") + channel_kind_name(c.kind) + " has no sample index";
    return true;
  }
  int64_t start = std::max(p.start, 0);
  int64_t inc = p.inc > 0 ? p.inc : 1;
  if (start >= c.length) {
    *why = "start " + std::to_string(start) + " is past the channel's " + std::to_string(c.length) +
           " samples";
    return true;
  }
  if (p.length == 0) {
    *why = "length 0 selects no sample";
    return true;
  }
  int64_t left = (c.length - start + inc - 1) / inc;
  auto copy = std::make_shared<CatalogChannel>(c);
  copy->sample_start = static_cast<int>(start);
  copy->sample_inc = static_cast<int>(inc);
  copy->sample_count = static_cast<int>(p.length > 0 ? std::min<int64_t>(p.length, left) : left);
  *sampled = std::move(copy);
  return false;
}

}  // namespace

const char* validation_reason(int code) {
  switch (code) {
    case -2:
      return "neither a start time, a run nor a file is given";
    case -3:
      return "neither an experiment nor a file is given";
    case -5:
      return "the request type is not 1, 2 or 3";
    case -6:
      return "the communication mode is not 1 or 2";
    case -7:
      return "the start time cannot be read";
    case -8:
      return "the stop time cannot be read";
    case -9:
      return "the request id or the run range is invalid";
    case -10:
      return "the stop time is not after the start time";
    default:
      return "the request is invalid";
  }
}

void plan_event_time(const RequestPlan& plan, double rate_hz, uint64_t index, uint32_t* seconds,
                     uint32_t* micros) {
  double offset = static_cast<double>(index) / rate_hz;
  double whole = std::floor(offset);
  *seconds = static_cast<uint32_t>(plan.t_start + static_cast<int64_t>(whole));
  *micros = static_cast<uint32_t>(std::lround((offset - whole) * 1e6)) % 1000000u;
}

RequestPlan plan_request(daq_server_request* request, const ChannelCatalog& catalog,
                         const PlanSettings& settings) {
  RequestPlan plan;
  int code = validate_daq_request(request, false);
  if (code != 0) {
    plan.error = std::string("ERROR: ") + validation_reason(code);
    return plan;
  }
  plan.channel_list_only = request->req_type == ORXA_DAQ_REQ_CHANNELS;

  // Channels: exact catalog names; none named means all.
  if (request->chan_list.empty()) {
    for (const CatalogChannel& c : catalog.channels()) {
      (c.kind == ChannelKind::slow ? plan.slow_channels : plan.event_channels).push_back(&c);
    }
  }
  std::string first_refused;
  for (const daq_channel_entry* entry : request->chan_list) {
    if (entry == nullptr || entry->name == nullptr) continue;
    const CatalogChannel* c = catalog.find(entry->name);
    if (c == nullptr) {
      plan.nf_channels.push_back(entry->name);
      continue;
    }
    auto& list = c->kind == ChannelKind::slow ? plan.slow_channels : plan.event_channels;
    // The first servable entry of a name decides how it is served.
    if (std::any_of(list.begin(), list.end(),
                    [c](const CatalogChannel* in) { return in->name == c->name; })) {
      continue;
    }
    std::shared_ptr<const CatalogChannel> sampled;
    std::string why;
    if (resolve_sampling(*c, entry->prms, &sampled, &why)) {
      plan.nf_channels.push_back(c->name + " (" + why + ")");
      if (first_refused.empty()) first_refused = plan.nf_channels.back();
      continue;
    }
    if (sampled) {
      c = sampled.get();
      plan.sampled.push_back(std::move(sampled));
    }
    list.push_back(c);
  }
  if (plan.event_channels.empty() && plan.slow_channels.empty()) {
    plan.error = first_refused.empty()
                     ? "ERROR: none of the requested channels is known"
                     : "ERROR: none of the requested channels can be served: " + first_refused;
    return plan;
  }
  if (plan.channel_list_only) return plan;

  // The range asked for, then cut to the data that exist.
  int64_t from = 0;
  int64_t to = 0;
  if (request->t_start[0] != '\0') {
    from = request->t_start_sec;
    to = request->t_stop_sec;
  } else if (request->run_first >= 0) {
    int64_t first = request->run_first;
    int64_t last = request->run_last >= 1 ? request->run_last : first;
    if (first == 0) {
      from = settings.origin_sec;
      to = settings.now_sec;
    } else {
      from = settings.origin_sec + (first - 1) * kRunSeconds;
      to = settings.origin_sec + last * kRunSeconds;
    }
  } else {
    int64_t low = 0;
    int64_t high = 0;
    for (const char* file : request->file_list) {
      int64_t run = file != nullptr ? run_of_file(file) : 0;
      int64_t run_start = settings.origin_sec + (run - 1) * kRunSeconds;
      if (run == 0 || run_start >= settings.now_sec) {
        if (file != nullptr) plan.nf_files.push_back(file);
        continue;
      }
      if (low == 0 || run < low) low = run;
      if (run > high) high = run;
    }
    if (low == 0) {
      plan.error = "ERROR: none of the requested files is known";
      return plan;
    }
    from = settings.origin_sec + (low - 1) * kRunSeconds;
    to = settings.origin_sec + high * kRunSeconds;
  }
  from = std::max(from, settings.origin_sec);
  to = std::min(to, settings.now_sec);
  if (to <= from) {
    plan.error = "ERROR: no data in the requested time range";
    return plan;
  }

  double count = std::floor(static_cast<double>(to - from) * settings.rate_hz);
  if (count < 1) {
    plan.error = "ERROR: no data in the requested time range";
    return plan;
  }
  if (count > static_cast<double>(settings.max_events)) {
    char text[128];
    std::snprintf(text, sizeof text, "ERROR: the request spans %.0f events, more than %ld", count,
                  settings.max_events);
    plan.error = text;
    return plan;
  }
  plan.t_start = static_cast<int>(from);
  plan.t_stop = static_cast<int>(to);
  plan.event_count = static_cast<uint64_t>(count);
  plan.first_event = static_cast<uint64_t>(
      std::floor(static_cast<double>(from - settings.origin_sec) * settings.rate_hz));
  uint64_t last_event = plan.first_event + plan.event_count - 1;
  plan.gen_2024 =
      settings.generation == 1 || (settings.generation == -1 && last_event >= kLegacyLimit);
  if (!plan.gen_2024 && last_event >= kLegacyLimit) {
    plan.error = "ERROR: event numbers of this range do not fit the legacy generation";
    return plan;
  }
  uint64_t event_bytes = synth_event_bytes(plan.gen_2024, plan.event_channels);
  if (event_bytes > TIDEWIRE_MAX_MESSAGE) {
    plan.error = "ERROR: one event of the requested channels takes " + std::to_string(event_bytes) +
                 " bytes, more than the data link carries (" +
                 std::to_string(TIDEWIRE_MAX_MESSAGE) + ")";
    return plan;
  }
  for (int64_t run = (from - settings.origin_sec) / kRunSeconds + 1;
       settings.origin_sec + (run - 1) * kRunSeconds < to; ++run) {
    plan.found_files.push_back(file_of_run(run));
    ++plan.runs;
  }
  return plan;
}
