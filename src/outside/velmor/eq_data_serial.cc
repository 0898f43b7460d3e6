// Serialised form of EqData (docs/control-transport.md, "Data objects"): a fixed
// head followed by tagged sections, little-endian. Only non-empty parts are
// written, so a small value stays small on the wire. Readers skip sections with
// tags they do not know, so a later version can add parts; a change to an
// existing section's layout needs a new format version.
#include <algorithm>
#include <new>
#include <type_traits>

#include "eq_data_content.h"
#include "wire_bytes.h"

namespace velmor {

static_assert(sizeof(long) == 8, "integers travel as 64-bit values");

namespace {

constexpr char kMagic[4] = {'V', 'E', 'Q', 'D'};
constexpr uint16_t kFormatVersion = 1;
constexpr size_t kHeadSize = 44;

enum SectionTag : uint16_t {
  kText = 1,
  kErrorText = 2,
  kInts = 3,
  kFloats = 4,
  kDoubles = 5,
  kStrings = 6,
  kUstr = 7,
  kSpectra = 8,
  kImage = 9,
  kImageComment = 10,
  kLastTag = kImageComment,
};

// Where serialised bytes go. With `refs`, large number arrays and image bytes
// are not copied but recorded as references into the object (for a gathered
// send); sizes are computed over the logical stream, references included.
struct Sink {
  std::string& out;
  std::vector<WirePiece>* refs;
  size_t external = 0;

  size_t logical() const { return out.size() + external; }
  void bulk(const void* data, size_t n) {
    if (refs != nullptr && n >= kMinReferencedPiece) {
      refs->push_back(WirePiece{out.size(), static_cast<const char*>(data), n});
      external += n;
    } else {
      out.append(static_cast<const char*>(data), n);
    }
  }
  template <typename T>
  void numbers(const std::vector<T>& v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    bulk(v.data(), v.size() * sizeof(T));
#else
    put_array(out, v.data(), v.size());
#endif
  }
};

void put_imh(std::string& out, const IMH& h) {
  const int32_t ints1[] = {h.width,   h.height,  h.aoi_width,     h.aoi_height,
                           h.x_start, h.y_start, h.bpp,           h.ebitpp,
                           h.hbin,    h.vbin,    h.source_format, h.image_format};
  for (int32_t v : ints1) put_i32(out, v);
  put_u32(out, h.frame);
  put_u32(out, h.event);
  const float floats[] = {h.scale_x, h.scale_y, h.image_rotation, h.fspare2, h.fspare3, h.fspare4};
  for (float v : floats) put_f32(out, v);
  const int32_t ints2[] = {h.image_flags, h.ispare2, h.ispare3, h.ispare4, h.length};
  for (int32_t v : ints2) put_i32(out, v);
}

void get_imh(WireReader& r, IMH* h) {
  int* ints1[] = {&h->width,   &h->height,  &h->aoi_width,     &h->aoi_height,
                  &h->x_start, &h->y_start, &h->bpp,           &h->ebitpp,
                  &h->hbin,    &h->vbin,    &h->source_format, &h->image_format};
  for (int* v : ints1) *v = r.i32();
  h->frame = r.u32();
  h->event = r.u32();
  float* floats[] = {&h->scale_x, &h->scale_y, &h->image_rotation,
                     &h->fspare2, &h->fspare3, &h->fspare4};
  for (float* v : floats) *v = r.f32();
  int* ints2[] = {&h->image_flags, &h->ispare2, &h->ispare3, &h->ispare4, &h->length};
  for (int* v : ints2) *v = r.i32();
}

// Fixed part of one spectrum element on the wire, without comment and values.
constexpr size_t kSpectrumFixed =
    1 + 4 + 2 + 2 + 4 + 4 + 4 + 8 + 4 + 4 + 4 + 4 + 4 + 4 + 4 + 24 * 4 + 8 * 4 + 4;
constexpr size_t kUstrFixed = 4 + 4 + 4 + 8 + 4;

void write_sections(const EqDataContent& c, Sink& sink, uint32_t* sections) {
  std::string& out = sink.out;
  auto counted = [&](uint16_t tag, size_t n, auto&& body) {
    if (n == 0) return;
    put_u16(out, tag);
    put_u16(out, 0);
    size_t size_at = out.size();
    put_u32(out, 0);
    size_t start = sink.logical();
    body();
    store_u32(&out[size_at], static_cast<uint32_t>(sink.logical() - start));
    ++*sections;
  };
  counted(kText, c.text.size(), [&] { out.append(c.text); });
  counted(kErrorText, c.error_text.size(), [&] { out.append(c.error_text); });
  counted(kInts, c.ints.size(), [&] {
    put_u32(out, static_cast<uint32_t>(c.ints.size()));
    sink.numbers(c.ints);
  });
  counted(kFloats, c.floats.size(), [&] {
    put_u32(out, static_cast<uint32_t>(c.floats.size()));
    sink.numbers(c.floats);
  });
  counted(kDoubles, c.doubles.size(), [&] {
    put_u32(out, static_cast<uint32_t>(c.doubles.size()));
    sink.numbers(c.doubles);
  });
  counted(kStrings, c.strings.size(), [&] {
    put_u32(out, static_cast<uint32_t>(c.strings.size()));
    for (const std::string& s : c.strings) put_bytes(out, s);
  });
  counted(kUstr, c.ustr.size(), [&] {
    put_u32(out, static_cast<uint32_t>(c.ustr.size()));
    for (const UstrElement& e : c.ustr) {
      put_i32(out, e.i1);
      put_f32(out, e.f1);
      put_f32(out, e.f2);
      put_i64(out, e.tm);
      put_bytes(out, e.str);
    }
  });
  counted(kSpectra, c.spectra.size(), [&] {
    put_u32(out, static_cast<uint32_t>(c.spectra.size()));
    for (const SpectrumElement& e : c.spectra) {
      put_u8(out, e.group ? 1 : 0);
      put_u32(out, e.ts_seconds);
      put_u16(out, e.ts_millis);
      put_u16(out, e.ts_status);
      put_u32(out, e.comment_len);
      put_bytes(out, e.comment);
      put_u32(out, e.id);
      put_i64(out, e.tm);
      put_f32(out, e.s_start);
      put_f32(out, e.s_inc);
      put_u32(out, e.status);
      put_i32(out, e.groups);
      put_i32(out, e.group_size);
      put_f32(out, e.group_inc);
      put_u32(out, e.stat_mask);
      for (float v : e.statistics) put_f32(out, v);
      for (int v : e.timing_param) put_i32(out, v);
      put_u32(out, static_cast<uint32_t>(e.data.size()));
      sink.numbers(e.data);
    }
  });
  counted(kImage, c.has_image ? 1 : 0, [&] {
    put_imh(out, c.image_header);
    put_u32(out, static_cast<uint32_t>(c.image.size()));
    sink.bulk(c.image.data(), c.image.size());
  });
  counted(kImageComment, c.image_comment.size(), [&] { out.append(c.image_comment); });
}

// Upper bound of the serialised size, checked before anything is appended.
size_t estimate_size(const EqDataContent& c) {
  size_t n = kHeadSize + 8 * 10 + c.text.size() + c.error_text.size() + c.image_comment.size();
  n += 4 + c.ints.size() * 8 + 4 + c.floats.size() * 4 + 4 + c.doubles.size() * 8 + 4;
  for (const std::string& s : c.strings) n += 4 + s.size();
  for (const UstrElement& e : c.ustr) n += kUstrFixed + e.str.size();
  for (const SpectrumElement& e : c.spectra)
    n += kSpectrumFixed + 4 + e.comment.size() + 4 * e.data.size();
  if (c.has_image) n += 100 + 4 + c.image.size();
  return n;
}

bool read_section(WireReader& r, uint16_t tag, EqDataContent* c) {
  const uint32_t max = static_cast<uint32_t>(kMaxElements);
  switch (tag) {
    case kText:
    case kErrorText:
    case kImageComment: {
      std::string& s =
          tag == kText ? c->text : (tag == kErrorText ? c->error_text : c->image_comment);
      size_t n = r.left();
      s.assign(r.raw(n), n);
      break;
    }
    case kInts: {
      r.array(&c->ints, r.count(8, max));
      break;
    }
    case kFloats: {
      r.array(&c->floats, r.count(4, max));
      break;
    }
    case kDoubles: {
      r.array(&c->doubles, r.count(8, max));
      break;
    }
    case kStrings: {
      uint32_t n = r.count(4, max);
      c->strings.resize(n);
      for (uint32_t i = 0; i < n && !r.failed(); ++i) r.bytes(&c->strings[i], kMaxSerializedSize);
      break;
    }
    case kUstr: {
      uint32_t n = r.count(kUstrFixed, max);
      c->ustr.resize(n);
      for (uint32_t i = 0; i < n && !r.failed(); ++i) {
        UstrElement& e = c->ustr[i];
        e.i1 = r.i32();
        e.f1 = r.f32();
        e.f2 = r.f32();
        e.tm = static_cast<long>(r.i64());
        r.bytes(&e.str, kMaxSerializedSize);
      }
      break;
    }
    case kSpectra: {
      uint32_t n = r.count(kSpectrumFixed, max);
      c->spectra.resize(n);
      for (uint32_t i = 0; i < n && !r.failed(); ++i) {
        SpectrumElement& e = c->spectra[i];
        uint8_t group = r.u8();
        if (group > 1) r.fail();
        e.group = group == 1;
        e.ts_seconds = r.u32();
        e.ts_millis = r.u16();
        e.ts_status = r.u16();
        e.comment_len = r.u32();
        r.bytes(&e.comment, kMaxSerializedSize);
        e.id = r.u32();
        e.tm = r.i64();
        e.s_start = r.f32();
        e.s_inc = r.f32();
        e.status = r.u32();
        e.groups = r.i32();
        e.group_size = r.i32();
        e.group_inc = r.f32();
        e.stat_mask = r.u32();
        for (float& v : e.statistics) v = r.f32();
        for (int& v : e.timing_param) v = r.i32();
        r.array(&e.data, r.count(4, static_cast<uint32_t>(kMaxSerializedSize / 4)));
      }
      break;
    }
    case kImage: {
      get_imh(r, &c->image_header);
      uint32_t n = r.count(1, static_cast<uint32_t>(kMaxSerializedSize));
      const char* bytes = r.raw(n);
      if (bytes != nullptr) c->image.assign(bytes, bytes + n);
      c->has_image = !r.failed();
      break;
    }
    default:
      // Unknown tags were filtered by the caller; known tags above.
      r.fail();
      break;
  }
  return r.failed() || r.left() != 0;  // a section must be consumed exactly
}

// Bytes already in memory: every part is read in place.
class MemorySource : public ObjectSource {
 public:
  MemorySource(const char* data, size_t length) : r_(data, length) {}
  const char* take(size_t n) override { return r_.raw(n); }
  bool take_into(char* dst, size_t n) override {
    const char* p = r_.raw(n);
    if (p != nullptr && n != 0) std::memcpy(dst, p, n);
    return p != nullptr;
  }
  bool direct() const override { return false; }

 private:
  WireReader r_;
};

// Receives n numbers (or bytes) from the source into v. The array grows with
// the bytes that arrived (at most twice them), so a peer that announces much
// and sends little commits little; room v already has is used as it is.
template <class Vec>
bool receive_array(ObjectSource& src, Vec* v, size_t n) {
  using T = typename Vec::value_type;
  constexpr size_t kFirstStep = 64 * 1024 / sizeof(T);
  size_t done = 0;
  while (done < n) {
    size_t step = std::min(n, std::max(v->capacity(), done + std::max(done, kFirstStep)));
    v->resize(step);  // zeroes only what v grows by: its elements are written over
    if (!src.take_into(reinterpret_cast<char*>(v->data() + done), (step - done) * sizeof(T)))
      return false;
    done = step;
  }
  return true;
}

// The number arrays an object had before a parse from a connection, set
// aside instead of emptied: an array received in place is written over its
// old elements, so that only what it grows by is zeroed first.
struct OldNumbers {
  std::vector<long> ints;
  std::vector<float> floats;
  std::vector<double> doubles;

  void set_aside(EqDataContent& c) {
    ints.swap(c.ints);
    floats.swap(c.floats);
    doubles.swap(c.doubles);
  }
  // An array back where no section has filled it; keep_elements for one about
  // to be written over, else emptied (its room kept either way).
  template <class T>
  static void put_back(std::vector<T>& old, std::vector<T>* now, bool keep_elements) {
    if (now->capacity() != 0) return;
    if (!keep_elements) old.clear();
    now->swap(old);
  }
  void put_back_all(EqDataContent& c) {
    put_back(ints, &c.ints, false);
    put_back(floats, &c.floats, false);
    put_back(doubles, &c.doubles, false);
  }
};

// A large number array or image, read from a connection straight into the
// object with the checks of read_section. 1 done, 0 not such a section
// (nothing read), -1 malformed or not received.
int receive_section(ObjectSource& src, uint16_t tag, uint32_t size, EqDataContent* c,
                    OldNumbers* old) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  bool direct = src.direct() && size >= kMinReferencedPiece;
#else
  bool direct = false;  // numbers need their bytes turned: every section is read whole
#endif
  switch (tag) {
    case kInts:
      OldNumbers::put_back(old->ints, &c->ints, direct);
      break;
    case kFloats:
      OldNumbers::put_back(old->floats, &c->floats, direct);
      break;
    case kDoubles:
      OldNumbers::put_back(old->doubles, &c->doubles, direct);
      break;
    default:
      break;
  }
  if (!direct) return 0;
  auto numbers = [&](auto* v) {
    using T = typename std::remove_pointer_t<decltype(v)>::value_type;
    const char* p = src.take(4);
    if (p == nullptr) return -1;
    uint32_t n = WireReader(p, 4).u32();
    if (n > static_cast<uint32_t>(kMaxElements) || size_t{n} * sizeof(T) != size - 4) return -1;
    return receive_array(src, v, n) ? 1 : -1;
  };
  switch (tag) {
    case kInts:
      return numbers(&c->ints);
    case kFloats:
      return numbers(&c->floats);
    case kDoubles:
      return numbers(&c->doubles);
    case kImage: {
      constexpr size_t kImageFixed = 100 + 4;
      const char* p = src.take(kImageFixed);
      if (p == nullptr) return -1;
      WireReader r(p, kImageFixed);
      get_imh(r, &c->image_header);
      if (r.u32() != size - kImageFixed || !receive_array(src, &c->image, size - kImageFixed))
        return -1;
      c->has_image = true;
      return 1;
    }
    default:
      break;
  }
  return 0;
}

bool parse(ObjectSource& src, size_t length, EqDataContent* c, OldNumbers* old) {
  if (length < kHeadSize || length > kMaxSerializedSize) return true;
  const char* head = src.take(kHeadSize);
  if (head == nullptr) return true;
  WireReader r(head, kHeadSize);
  const char* magic = r.raw(4);
  if (std::memcmp(magic, kMagic, 4) != 0) return true;
  if (r.u16() != kFormatVersion) return true;
  if (r.u16() != 0) return true;  // flags: none defined in version 1
  c->type = r.i32();
  c->error = r.i32();
  c->seconds = static_cast<long>(r.i64());
  c->microseconds = r.i32();
  c->event = static_cast<long>(r.i64());
  c->length = r.i32();
  if (c->length < 0 || c->length > kMaxElements) return true;
  uint32_t sections = r.u32();
  size_t left = length - kHeadSize;
  if (r.failed() || sections > 64 || sections > left / 8) return true;
  uint32_t seen = 0;
  for (uint32_t i = 0; i < sections; ++i) {
    const char* section_head = left >= 8 ? src.take(8) : nullptr;
    if (section_head == nullptr) return true;
    WireReader h(section_head, 8);
    uint16_t tag = h.u16();
    uint16_t reserved = h.u16();
    uint32_t size = h.u32();
    left -= 8;
    if (size > left || reserved != 0 || tag == 0) return true;
    left -= size;
    if (tag > kLastTag) {  // a later version's part: skipped
      if (src.take(size) == nullptr) return true;
      continue;
    }
    if (seen & (1u << tag)) return true;  // each part at most once
    seen |= 1u << tag;
    int received = receive_section(src, tag, size, c, old);
    if (received < 0) return true;
    if (received > 0) continue;
    const char* body = src.take(size);
    if (body == nullptr) return true;
    WireReader section(body, size);
    if (read_section(section, tag, c)) return true;
  }
  return left != 0;  // trailing bytes mean a framing mistake
}

}  // namespace

bool EqDataAccess::serialize(const EqData& d, std::string& out, std::vector<WirePiece>* refs) {
  const EqDataContent& c = *d.c_;
  if (estimate_size(c) > kMaxSerializedSize) return true;
  size_t start = out.size();
  size_t first_ref = refs != nullptr ? refs->size() : 0;
  try {
    out.reserve(start + (refs != nullptr ? 4096 : estimate_size(c)));
    out.append(kMagic, 4);
    put_u16(out, kFormatVersion);
    put_u16(out, 0);
    put_i32(out, c.type);
    put_i32(out, c.error);
    put_i64(out, c.seconds);
    put_i32(out, c.microseconds);
    put_i64(out, c.event);
    put_i32(out, c.length);
    size_t count_at = out.size();
    put_u32(out, 0);
    uint32_t sections = 0;
    Sink sink{out, refs};
    write_sections(c, sink, &sections);
    store_u32(&out[count_at], sections);
  } catch (const std::bad_alloc&) {
    out.resize(start);
    if (refs != nullptr) refs->resize(first_ref);
    return true;
  }
  return false;
}

bool EqData::serialize(std::string& out) const {
  return EqDataAccess::serialize(*this, out, nullptr);
}

bool EqDataAccess::deserialize(EqData& d, ObjectSource& source, size_t length) {
  // Parsed into the object's own buffers so that they are reused; any failure
  // leaves it empty rather than half filled.
  OldNumbers old;
  if (source.direct()) old.set_aside(*d.c_);
  reset_content(*d.c_);
  bool failed = true;
  try {
    failed = parse(source, length, d.c_, &old);
  } catch (const std::bad_alloc&) {
  }
  old.put_back_all(*d.c_);
  if (failed) reset_content(*d.c_);
  return failed;
}

bool EqData::deserialize(const char* data, size_t length) {
  MemorySource source(data, data != nullptr ? length : 0);
  return EqDataAccess::deserialize(*this, source, data != nullptr ? length : 0);
}

}  // namespace velmor
