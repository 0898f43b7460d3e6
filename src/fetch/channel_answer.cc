#include "channel_answer.h"

namespace {

// Length of the match of `key` at the start of name, or 0.
size_t match_length(const std::string& name, const std::string& key) {
  if (key.empty() || name.compare(0, key.size(), key) != 0) return 0;
  if (name.size() == key.size()) return key.size();
  char next = name[key.size()];
  return next == '.' || next == '_' || next == ':' ? key.size() : 0;
}

}  // namespace

const std::string& answered_channel(const std::vector<std::string>& requested,
                                    const std::string& name) {
  static const std::string kNone;
  const std::string* best = &kNone;
  size_t best_length = 0;
  for (const std::string& r : requested) {
    size_t slash = r.rfind('/');
    size_t n = match_length(name, r);
    if (n == 0 && slash != std::string::npos) n = match_length(name, r.substr(slash + 1));
    if (n > best_length) {
      best_length = n;
      best = &r;
    }
  }
  return *best;
}
