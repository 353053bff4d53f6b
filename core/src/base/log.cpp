#include "quillrun/log.hpp"

#include <atomic>

namespace quillrun::log {
namespace {

// The facade's whole state: the sink is set once, the level may change.
std::atomic<Sink*> g_sink{nullptr};
std::atomic<std::uint8_t> g_max_level{static_cast<std::uint8_t>(LevelFilter::Off)};

}  // namespace

Status<SetSinkError> set_sink(Sink* sink) noexcept {
  Sink* expected = nullptr;
  if (!g_sink.compare_exchange_strong(expected, sink, std::memory_order_acq_rel)) {
    return fail(SetSinkError{});
  }
  return {};
}

void set_max_level(LevelFilter level) noexcept {
  g_max_level.store(static_cast<std::uint8_t>(level), std::memory_order_relaxed);
}

LevelFilter max_level() noexcept {
  return static_cast<LevelFilter>(g_max_level.load(std::memory_order_relaxed));
}

void dispatch(const Record& record) noexcept {
  Sink* sink = g_sink.load(std::memory_order_acquire);
  if (sink != nullptr && sink->enabled(record.level, record.target)) sink->log(record);
}

}  // namespace quillrun::log
