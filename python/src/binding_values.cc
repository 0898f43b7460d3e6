// Values of a record as Python objects. Scalars become numbers, texts str,
// name/value and update elements lists of NameValue, slow-data blocks bytes (their
// values as SlowEntry through `entries`; both named tuples of daqclient._records,
// so positional unpacking still works). Spectra
// and images become NumPy arrays that point into the data object the query
// handed out: a capsule owning that object is the arrays' base, so the object
// lives exactly as long as the last array over it and no byte is copied.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "daqclient.h"
#include "orxa_evutl.h"
#include "velmor.h"

namespace daqclient {

namespace {

struct Spectrum {
  py::array values;
  float start = 0;
  float inc = 0;
  std::string comment;
  uint32_t status = 0;
  unsigned seconds = 0;
  unsigned short millis = 0;
  unsigned short stamp_status = 0;
  int64_t tm = 0;
  bool group = false;
  uint32_t id = 0;
  int groups = 0;
  int group_size = 0;
  float group_inc = 0;
  uint32_t stat_mask = 0;
  py::array statistics;
  py::array timing;
};

struct Image {
  py::array pixels;
  velmor::IMH header{};
  std::string comment;
};

struct Channel {
  std::string name;
  int dtype = 0;
  int devtype = 0;
  py::object value;
  long seconds = 0;
  int microseconds = 0;
  long event_number = 0;
  bool slow = false;
  std::string requested;
};

struct Record {
  uint64_t event_number = 0;
  uint32_t seconds = 0;
  uint32_t microseconds = 0;
  py::list channels;  // of Channel
};

py::object utc_datetime(long seconds, long microseconds) {
  py::module_ dt = py::module_::import("datetime");
  py::object utc = dt.attr("timezone").attr("utc");
  py::object base = dt.attr("datetime").attr("fromtimestamp")(seconds, utc);
  return base.attr("replace")(py::arg("microsecond") = microseconds);
}

using DataOwner = py::capsule;

DataOwner own(velmor::EqData* d) {
  return py::capsule(d, [](void* p) { delete static_cast<velmor::EqData*>(p); });
}

template <class T>
py::array view(const T* data, std::vector<py::ssize_t> shape, const py::handle& owner) {
  return py::array_t<T>(shape, data, owner);
}

Spectrum make_spectrum(const velmor::SpectrumElement& e, const DataOwner& owner) {
  Spectrum s;
  py::ssize_t n = static_cast<py::ssize_t>(e.data.size());
  if (e.group && e.groups > 0 && e.group_size > 0 &&
      static_cast<int64_t>(e.groups) * e.group_size == n)
    s.values = view<float>(e.data.data(), {e.groups, e.group_size}, owner);
  else
    s.values = view<float>(e.data.data(), {n}, owner);
  s.start = e.s_start;
  s.inc = e.s_inc;
  s.comment = e.comment;
  s.status = e.status;
  s.seconds = e.ts_seconds;
  s.millis = e.ts_millis;
  s.stamp_status = e.ts_status;
  s.tm = e.tm;
  s.group = e.group;
  s.id = e.id;
  s.groups = e.groups;
  s.group_size = e.group_size;
  s.group_inc = e.group_inc;
  s.stat_mask = e.stat_mask;
  s.statistics = view<float>(e.statistics, {24}, owner);
  s.timing = view<int>(e.timing_param, {8}, owner);
  return s;
}

// One spectrum as itself, several (sub-channels, group spectra) as a list.
py::object spectra_value(const velmor::EqData& d, const DataOwner& owner) {
  int n = d.spectrum_count();
  py::list all;
  for (int i = 0; i < n; ++i) {
    const velmor::SpectrumElement* e = d.get_spectrum(i);
    if (e != nullptr) all.append(py::cast(make_spectrum(*e, owner)));
  }
  if (py::len(all) == 1) return all[0];
  return std::move(all);
}

// The pixel type follows the bytes per pixel; the shape is the area of interest
// or the full frame, whichever the byte count fits (else a flat byte array).
py::array image_pixels(const velmor::EqData& d, const velmor::IMH& h, const DataOwner& owner) {
  const unsigned char* bytes = d.get_image_data();
  int64_t length = d.get_image_length();
  static const unsigned char kNone = 0;
  if (bytes == nullptr || length <= 0) return view<uint8_t>(&kNone, {0}, owner);
  auto fits = [&](int64_t w, int64_t hgt) { return w > 0 && hgt > 0 && w * hgt * h.bpp == length; };
  int64_t w = 0, hgt = 0;
  if (fits(h.aoi_width, h.aoi_height)) {
    w = h.aoi_width;
    hgt = h.aoi_height;
  } else if (fits(h.width, h.height)) {
    w = h.width;
    hgt = h.height;
  }
  if (w == 0) return view<uint8_t>(bytes, {static_cast<py::ssize_t>(length)}, owner);
  std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(hgt), static_cast<py::ssize_t>(w)};
  switch (h.bpp) {
    case 1:
      return view<uint8_t>(bytes, shape, owner);
    case 2:
      return view<uint16_t>(reinterpret_cast<const uint16_t*>(bytes), shape, owner);
    case 4:
      return view<uint32_t>(reinterpret_cast<const uint32_t*>(bytes), shape, owner);
    case 8:
      return view<uint64_t>(reinterpret_cast<const uint64_t*>(bytes), shape, owner);
    default:
      return view<uint8_t>(bytes, {shape[0], static_cast<py::ssize_t>(w * h.bpp)}, owner);
  }
}

// A named-tuple type of the pure-Python layer; looked up per call, not kept in a
// static, so no reference outlives the interpreter.
py::object record_type(const char* name) {
  return py::module_::import("daqclient._records").attr(name);
}

py::object ustr_value(const velmor::EqData& d) {
  py::list items;
  py::object name_value = record_type("NameValue");
  for (int i = 0; i < d.ustr_count(); ++i) {
    const velmor::UstrElement* u = d.get_ustr(i);
    if (u == nullptr) continue;
    items.append(name_value(u->i1, u->f1, u->f2, u->tm, u->str));
  }
  return std::move(items);
}

template <class T, class Get>
py::object number_array(int n, Get get) {
  py::array_t<T> a(n);
  auto w = a.template mutable_unchecked<1>();
  for (int i = 0; i < n; ++i) w(i) = get(i);
  return std::move(a);
}

// Takes the data object over (the capsule deletes it) and returns its value.
py::object data_value(velmor::EqData* d) {
  DataOwner owner = own(d);
  switch (d->type()) {
    case velmor::DATA_INT:
      return py::int_(d->get_int(0));
    case velmor::DATA_FLOAT:
    case velmor::DATA_DOUBLE:
      return py::float_(d->get_double(0));
    case velmor::DATA_STRING:
    case velmor::DATA_XML:
      return py::str(d->get_text(0));
    case velmor::DATA_A_STRING: {
      py::list texts;
      for (int i = 0; i < d->value_count(); ++i) texts.append(py::str(d->get_text(i)));
      return std::move(texts);
    }
    case velmor::DATA_A_INT:
      return number_array<int64_t>(d->value_count(), [d](int i) { return d->get_int(i); });
    case velmor::DATA_A_FLOAT:
      return number_array<float>(d->value_count(), [d](int i) { return d->get_float(i); });
    case velmor::DATA_A_DOUBLE:
      return number_array<double>(d->value_count(), [d](int i) { return d->get_double(i); });
    case velmor::DATA_A_USTR:
      return ustr_value(*d);
    case velmor::DATA_A_TS_SPECTRUM:
    case velmor::DATA_A_TS_GSPECTRUM:
      return spectra_value(*d, owner);
    case velmor::DATA_IMAGE: {
      const velmor::IMH* h = d->get_image_header();
      if (h == nullptr) return py::none();
      Image img;
      img.header = *h;
      img.pixels = image_pixels(*d, *h, owner);
      img.comment = d->get_image_comm();
      return py::cast(std::move(img));
    }
    default:
      return py::none();
  }
}

Channel make_channel(EqData_dtype* e, const std::string& name) {
  Channel c;
  c.name = name;
  c.dtype = e->dtype;
  c.devtype = e->devtype;
  if (e->data != nullptr) {
    velmor::EqData* d = e->data;
    e->data = nullptr;  // the capsule made by data_value owns it from here
    c.seconds = d->get_time_seconds();
    c.microseconds = d->get_time_microseconds();
    c.event_number = d->get_mpnum();
    c.value = data_value(d);
  } else if (e->slblock != nullptr) {
    std::unique_ptr<orxa_daq_slow_data_header, decltype(&std::free)> block(e->slblock, &std::free);
    e->slblock = nullptr;
    int length = orxa_slow_block_get_length(block.get());
    c.slow = true;
    c.seconds = orxa_slow_block_get_first_time_s(block.get());
    c.microseconds = static_cast<int>(orxa_slow_block_get_first_time_us(block.get()));
    uint64_t first = 0;
    orxa_slow_block_get_first_evid(block.get(), &first);
    c.event_number = static_cast<long>(first);
    c.value = py::bytes(reinterpret_cast<const char*>(block.get()), length > 0 ? length : 0);
  } else {
    c.value = py::none();
  }
  return c;
}

// The entries of a slow-data block as SlowEntry (name, event number, seconds,
// microseconds, status, value); the block is read only within its own length.
py::list slow_entries(const py::bytes& block) {
  std::string bytes = block;  // an aligned private copy for the decoder
  if (bytes.size() < sizeof(orxa_daq_slow_data_header))
    raise_error("DaqError", -1, "slow-data block shorter than its header");
  auto* h = reinterpret_cast<orxa_daq_slow_data_header*>(bytes.data());
  int length = orxa_slow_block_get_length(h);
  if (length < 0 || static_cast<size_t>(length) > bytes.size())
    raise_error("DaqError", -1, "slow-data block length does not match its bytes");
  int n = orxa_slow_block_get_n_entries(h);
  if (n < 0) raise_error("DaqError", -1, "invalid slow-data block");
  py::list out;
  py::object slow_entry = record_type("SlowEntry");
  for (int i = 0; i < n; ++i) {
    orxa_slow_entry_2024 e{};
    if (orxa_slow_block_get_entry(h, i, &e)) raise_error("DaqError", -1, "invalid slow-data entry");
    out.append(slow_entry(std::string(e.name), e.event_number, e.time.timeup, e.time.timelow,
                          e.status, e.value));
  }
  return out;
}

py::list channel_entries(const Channel& c) {
  if (!c.slow || !py::isinstance<py::bytes>(c.value)) return py::list();
  return slow_entries(c.value.cast<py::bytes>());
}

py::object channel_named(const Record& r, const std::string& name) {
  for (py::handle c : r.channels)
    if (c.cast<const Channel&>().name == name) return py::reinterpret_borrow<py::object>(c);
  throw py::key_error(name);
}

}  // namespace

RawRecord::~RawRecord() { release_query_result(q.out); }

py::object make_record(RawRecord& raw, const std::vector<std::string>* requested) {
  Record r;
  r.event_number = raw.q.event_number;
  r.seconds = raw.q.time.timeup;
  r.microseconds = raw.q.time.timelow;
  std::vector<EqData_dtype*>& elements = *raw.q.out;
  for (size_t i = 0; i < elements.size(); ++i) {
    EqData_dtype* e = elements[i];
    if (e == nullptr) continue;
    Channel c = make_channel(e, i < raw.q.names.size() ? raw.q.names[i] : std::string());
    if (requested != nullptr && i < requested->size()) c.requested = (*requested)[i];
    r.channels.append(py::cast(std::move(c)));
  }
  release_query_result(raw.q.out);  // only the emptied elements are left
  raw.q.out = nullptr;
  return py::cast(std::move(r));
}

time_stamp to_time_stamp(py::handle value) {
  py::module_ dt = py::module_::import("datetime");
  double seconds = 0;
  if (py::isinstance(value, dt.attr("datetime"))) {
    py::object v = py::reinterpret_borrow<py::object>(value);
    if (v.attr("tzinfo").is_none())
      v = v.attr("replace")(py::arg("tzinfo") = dt.attr("timezone").attr("utc"));
    seconds = v.attr("timestamp")().cast<double>();
  } else if (py::isinstance<py::tuple>(value) && py::len(value) == 2) {
    py::tuple t = py::reinterpret_borrow<py::tuple>(value);
    long s = t[0].cast<long>();
    long us = t[1].cast<long>();
    if (s < 0 || s > UINT32_MAX || us < 0 || us >= 1000000)
      raise_error("RequestError", -1, "time stamp out of range");
    return time_stamp{static_cast<uint32_t>(s), static_cast<uint32_t>(us)};
  } else {
    seconds = value.cast<double>();
  }
  if (!(seconds >= 0 && seconds < 4294967296.0))
    raise_error("RequestError", -1, "time stamp out of range");
  uint32_t s = static_cast<uint32_t>(seconds);
  uint32_t us = static_cast<uint32_t>((seconds - s) * 1e6 + 0.5);
  if (us >= 1000000) {
    ++s;
    us -= 1000000;
  }
  return time_stamp{s, us};
}

void register_values(py::module_& m) {
  py::class_<Spectrum>(m, "Spectrum", "One spectrum or group spectrum of a channel")
      .def_readonly("values", &Spectrum::values,
                    "float32 array; (groups, group_size) for group spectra")
      .def_readonly("start", &Spectrum::start)
      .def_readonly("inc", &Spectrum::inc)
      .def_readonly("comment", &Spectrum::comment)
      .def_readonly("status", &Spectrum::status)
      .def_readonly("seconds", &Spectrum::seconds)
      .def_readonly("millis", &Spectrum::millis)
      .def_readonly("stamp_status", &Spectrum::stamp_status)
      .def_readonly("tm", &Spectrum::tm)
      .def_readonly("group", &Spectrum::group)
      .def_readonly("id", &Spectrum::id)
      .def_readonly("groups", &Spectrum::groups)
      .def_readonly("group_size", &Spectrum::group_size)
      .def_readonly("group_inc", &Spectrum::group_inc)
      .def_readonly("stat_mask", &Spectrum::stat_mask)
      .def_readonly("statistics", &Spectrum::statistics)
      .def_readonly("timing", &Spectrum::timing)
      .def("__repr__", [](const Spectrum& s) {
        return "<Spectrum " + s.comment + " n=" + std::to_string(s.values.size()) + ">";
      });

  py::class_<Image> image(m, "Image", "An image with its frame header");
  image.def_readonly("pixels", &Image::pixels, "2-D array (height, width) of the pixel type")
      .def_readonly("comment", &Image::comment)
      .def("__repr__", [](const Image& i) {
        return "<Image " + i.comment + " " + std::to_string(i.header.width) + "x" +
               std::to_string(i.header.height) + " bpp=" + std::to_string(i.header.bpp) + ">";
      });
#define DAQCLIENT_IMH_FIELD(f) \
  image.def_property_readonly(#f, [](const Image& i) { return i.header.f; });
  DAQCLIENT_IMH_FIELD(width)
  DAQCLIENT_IMH_FIELD(height)
  DAQCLIENT_IMH_FIELD(aoi_width)
  DAQCLIENT_IMH_FIELD(aoi_height)
  DAQCLIENT_IMH_FIELD(x_start)
  DAQCLIENT_IMH_FIELD(y_start)
  DAQCLIENT_IMH_FIELD(bpp)
  DAQCLIENT_IMH_FIELD(ebitpp)
  DAQCLIENT_IMH_FIELD(hbin)
  DAQCLIENT_IMH_FIELD(vbin)
  DAQCLIENT_IMH_FIELD(source_format)
  DAQCLIENT_IMH_FIELD(image_format)
  DAQCLIENT_IMH_FIELD(frame)
  DAQCLIENT_IMH_FIELD(event)
  DAQCLIENT_IMH_FIELD(scale_x)
  DAQCLIENT_IMH_FIELD(scale_y)
  DAQCLIENT_IMH_FIELD(image_rotation)
  DAQCLIENT_IMH_FIELD(image_flags)
  DAQCLIENT_IMH_FIELD(length)
#undef DAQCLIENT_IMH_FIELD

  py::class_<Channel>(m, "Channel",
                      "One channel of a record.\n\n"
                      "name -- the channel's name as the record carries it\n"
                      "dtype, devtype -- its DAQ data type and device type\n"
                      "value -- its value (a number, str, NumPy array, Spectrum, Image, a list "
                      "of NameValue, bytes of a slow-data block, or None)\n"
                      "seconds, microseconds, datetime -- its time stamp (UTC)\n"
                      "event_number -- its event number (a slow block's first)\n"
                      "slow -- a slow-data block; entries gives its values as SlowEntry\n"
                      "requested -- the requested channel the value answers (fetch only; \"\" "
                      "when none matches)")
      .def_readonly("name", &Channel::name)
      .def_readonly("dtype", &Channel::dtype)
      .def_readonly("devtype", &Channel::devtype)
      .def_readonly("value", &Channel::value)
      .def_readonly("seconds", &Channel::seconds)
      .def_readonly("microseconds", &Channel::microseconds)
      .def_readonly("event_number", &Channel::event_number)
      .def_readonly("slow", &Channel::slow, "a slow-data block (value: bytes)")
      .def_readonly("requested", &Channel::requested)
      .def_property_readonly("entries", &channel_entries,
                             "the values of a slow-data block as SlowEntry (empty for others)")
      .def_property_readonly(
          "datetime", [](const Channel& c) { return utc_datetime(c.seconds, c.microseconds); })
      .def("__repr__", [](const Channel& c) {
        return "<Channel " + c.name + " dtype=" + std::to_string(c.dtype) + " " +
               py::repr(c.value).cast<std::string>() + ">";
      });

  py::class_<Record>(m, "Record",
                     "One record of the cache.\n\n"
                     "event_number, seconds, microseconds -- its stamp; timestamp and datetime "
                     "(UTC) the same as one value\n"
                     "channels -- its Channels in delivery order; record[name] and record[i] "
                     "give a channel's value, channel(name) the Channel, names() every name, "
                     "answering(requested) the Channels answering a requested channel\n"
                     "slow -- a slow-data record; entries gives its values as SlowEntry")
      .def_readonly("event_number", &Record::event_number)
      .def_readonly("seconds", &Record::seconds)
      .def_readonly("microseconds", &Record::microseconds)
      .def_readonly("channels", &Record::channels)
      .def_property_readonly("timestamp",
                             [](const Record& r) { return r.seconds + r.microseconds * 1e-6; })
      .def_property_readonly(
          "datetime", [](const Record& r) { return utc_datetime(r.seconds, r.microseconds); })
      .def_property_readonly("slow",
                             [](const Record& r) {
                               return py::len(r.channels) > 0 &&
                                      r.channels[0].cast<const Channel&>().slow;
                             })
      .def_property_readonly(
          "entries",
          [](const Record& r) {
            py::list all;
            for (py::handle c : r.channels)
              for (py::handle e : channel_entries(c.cast<const Channel&>())) all.append(e);
            return all;
          },
          "the values of the record's slow-data blocks as SlowEntry (empty for an event record)")
      .def("__len__", [](const Record& r) { return py::len(r.channels); })
      .def(
          "__getitem__",
          [](const Record& r, const std::string& name) {
            return channel_named(r, name).attr("value");
          },
          "the value of the channel of that name")
      .def("__getitem__",
           [](const Record& r, long index) {
             long n = static_cast<long>(py::len(r.channels));
             if (index < 0) index += n;
             if (index < 0 || index >= n) throw py::index_error("channel index out of range");
             return r.channels[static_cast<size_t>(index)].attr("value");
           })
      .def("__contains__",
           [](const Record& r, const std::string& name) {
             for (py::handle c : r.channels)
               if (c.cast<const Channel&>().name == name) return true;
             return false;
           })
      .def("channel", &channel_named, "the Channel of that name")
      .def(
          "answering",
          [](const Record& r, const std::string& requested) {
            py::list out;
            for (py::handle c : r.channels)
              if (c.cast<const Channel&>().requested == requested) out.append(c);
            return out;
          },
          py::arg("requested"),
          "the Channels that answer a requested channel (a fetch's records), in order")
      .def("names",
           [](const Record& r) {
             std::vector<std::string> n;
             for (py::handle c : r.channels) n.push_back(c.cast<const Channel&>().name);
             return n;
           })
      .def("__repr__", [](const Record& r) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%u.%06u", r.seconds, r.microseconds);
        return "<Record event " + std::to_string(r.event_number) + " at " + stamp + ", " +
               std::to_string(py::len(r.channels)) + " channels>";
      });

  m.def("slow_entries", &slow_entries, py::arg("block"),
        "The entries of a slow-data block as SlowEntry: (name, event_number, seconds, "
        "microseconds, status, value)");
  m.def("utc_datetime", &utc_datetime, py::arg("seconds"), py::arg("microseconds") = 0);
}

}  // namespace daqclient
