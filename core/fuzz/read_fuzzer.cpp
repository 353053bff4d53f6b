// The reader under libFuzzer: any bytes end in a trace or an error, never in
// a crash, a hang or a memory bomb. A trace that comes back is walked field by
// field as the Python views would, so that a value the reader let through
// broken fails here, with the input that made it.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <hdf5.h>

#include "base/utf8.hpp"
#include "quillrun/log.hpp"
#include "quillrun/reader.hpp"
#include "quillrun/unit_hash.hpp"

namespace quillrun {
namespace {

[[noreturn]] void broken(std::string_view what) {
  std::fprintf(stderr, "read_fuzzer: the reader returned %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

// Folds every value it is shown into one sum that the compiler must keep, so
// that each load stays, and with it the sanitizers' checks of it.
class Walk {
 public:
  void add(std::uint64_t v) noexcept { sum_ = (sum_ ^ v) * 0x100000001B3ULL; }
  void add(double v) noexcept { add(std::bit_cast<std::uint64_t>(v)); }
  void add(float v) noexcept { add(std::uint64_t{std::bit_cast<std::uint32_t>(v)}); }
  void add(bool v) noexcept { add(std::uint64_t{v}); }
  void add_bytes(std::string_view bytes) noexcept {
    add(std::uint64_t{bytes.size()});
    for (const char c : bytes) add(std::uint64_t{static_cast<unsigned char>(c)});
  }

  // The views hand texts to Python's strict UTF-8 decoder.
  void add(std::string_view text) {
    if (find_utf8_error(utf8::bytes_of(text))) broken("a text that is not UTF-8");
    add_bytes(text);
  }

  // As a datetime is made from it. Only a leap second (of a commit time)
  // takes nanos past one second.
  void add(const Instant& t) {
    if (t < min_instant() || t > max_instant() || t.secs >= 86'400 || t.nanos >= 2'000'000'000)
      broken("an instant out of range");
    const CivilDate date = civil_from_days(t.days);
    add(static_cast<std::uint64_t>(date.year));
    add(std::uint64_t{date.month} << 8 | date.day);
    add(std::uint64_t{t.secs} << 32 | t.nanos);
  }

  void add(const Timestamps& times) {
    if (times.kind != TimeKind::Both && times.kind != TimeKind::HostOnly && times.kind != TimeKind::ReceiverOnly)
      broken("a time kind out of range");
    if (const auto gps = times.gps_time()) add(*gps);
    if (const auto sys = times.sys_time()) add(*sys);
  }

  template <class T>
  void add(const std::optional<T>& value) {
    add(value.has_value());
    if (value) add(*value);
  }

  void add(const Satellite& s) {
    add(std::uint64_t{s.constellation});
    add(std::uint64_t{s.prn});
    add(s.in_fix);
    add(s.elevation);
    add(s.azimuth);
    add(s.snr);
  }

  void add(const SatelliteReport& report) {
    for (const Satellite& s : report.tracked) add(s);
    add(report.times);
  }

  void add(const NavPoint& p) {
    add(p.lat);
    add(p.lon);
    add(p.times);
    add(p.heading);
    add(p.speed_mps);
    add(p.eph_m);
    add(p.satellites);
  }

  void add(const Marker& m) {
    add(m.time);
    add(m.lat);
    add(m.lon);
    add(m.label);
    if (m.icon_unknown == is_known_marker_icon(m.icon)) broken("a marker icon flagged wrongly");
    if (!m.icon_unknown) add(marker_icon_name(static_cast<MarkerIcon>(m.icon)));
  }

  void add(const EventMarkerPoint& e) {
    add(e.variant_path);
    add(e.sys_time);
    add(e.annotation);
    add(e.lat);
    add(e.lon);
  }

  void add(const EventMarkerStyle& s) {
    add(s.variant_path);
    if (s.icon.kind == StyleIcon::Kind::Known && !is_known_marker_icon(static_cast<std::uint8_t>(s.icon.code)))
      broken("a style icon code out of range");
    add(std::uint64_t{static_cast<std::uint8_t>(s.icon.kind)});
    add(s.icon.name());
    add(std::uint64_t{static_cast<std::uint8_t>(s.color.kind)});
    add(s.color.text);
  }

  void add(const ChannelUnit& unit) {
    add(unit.label());
    add(static_cast<std::uint64_t>(unit_hash(unit)));
  }

  void add(const Channel& c) {
    add(c.name);
    if (c.values.size() / c.width() != c.times.size() || c.values.size() % c.width() != 0)
      broken("a channel whose values do not fill its rows");
    for (const Instant& t : c.times) add(t);
    for (const double v : c.values) add(v);
    for (const std::string& component : c.components) add(component);
    add(c.unit);
    add(c.period_deg);
    add(c.description);
  }

  void add(const Meta& m) {
    add(m.title);
    add(m.device);
    add(m.notes);
    add(m.identity);
    if (m.travel_mode) {
      if (const auto* known = std::get_if<TravelMode>(&*m.travel_mode);
          known != nullptr && static_cast<std::size_t>(*known) >= kTravelModeCount)
        broken("a travel mode out of range");
      add(travel_mode_text(*m.travel_mode));
    }
    add(m.sdk_version);
    add(m.sdk_git_commit);
    add(m.sdk_commit_time);
  }

  void add(const NavFileData& trace) {
    for (const NavPoint& p : trace.points) add(p);
    for (const Marker& m : trace.markers) add(m);
    for (const EventMarkerPoint& e : trace.event_markers) add(e);
    for (const EventMarkerStyle& s : trace.event_marker_styles) add(s);
    for (const Channel& c : trace.channels) add(c);
    add(trace.meta);
  }

  void keep() const noexcept { __asm__ volatile("" : : "r"(sum_) : "memory"); }

 private:
  std::uint64_t sum_ = 0xCBF29CE484222325ULL;
};

// Every record is made, as with the Python bridge installed, and dropped.
class Discard final : public log::Sink {
 public:
  bool enabled(log::Level, std::string_view) const noexcept override { return true; }
  void log(const log::Record& record) noexcept override {
    Walk walk;
    walk.add_bytes(record.message);
    walk.keep();
  }
};

}  // namespace
}  // namespace quillrun

// HDF5 asks malloc for sizes that a damaged file declares and handles the null
// it gets back, as it would from the C library for a size past the machine's
// memory; under AddressSanitizer such a request would abort instead. A size
// that can be served still counts: -malloc_limit_mb makes it a finding.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static quillrun::Discard sink;
  (void)quillrun::log::set_sink(&sink);
  quillrun::log::set_max_level(quillrun::log::LevelFilter::Trace);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillrun;
  const auto trace = read_nav_file(std::span<const std::uint8_t>(data, size));
  Walk walk;
  if (trace) {
    walk.add(*trace);
  } else {
    const std::string message = trace.error().message();
    if (message.empty()) broken("an error without a message");
    walk.add_bytes(message);
  }
  if (H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL) != 0) broken("with objects of HDF5 left open");
  walk.keep();
  return 0;
}
