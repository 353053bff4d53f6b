#pragma once
// The core's logging facade. The core only produces records; a sink installed
// once per process (the Python extension's bridge) decides where they go.

#include <cstdint>
#include <string>
#include <string_view>

#include "quillrun/result.hpp"

namespace quillrun::log {

// Ordered by verbosity: a record passes when its level <= max_level().
enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };
enum class LevelFilter : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct Record {
  Level level;
  std::string_view target;
  std::string_view message;
  std::string_view file;  // source file relative to the source tree
  std::uint32_t line;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool enabled(Level level, std::string_view target) const noexcept = 0;
  // Must not throw; a sink reports its own failures itself.
  virtual void log(const Record& record) noexcept = 0;
};

struct SetSinkError {
  [[nodiscard]] static std::string_view message() noexcept {
    return "attempted to set a logger after the logging system was already initialized";
  }
};

// Installs the process-wide sink. Only the first call succeeds; the sink must
// live for the rest of the process.
[[nodiscard]] Status<SetSinkError> set_sink(Sink* sink) noexcept;
void set_max_level(LevelFilter level) noexcept;
[[nodiscard]] LevelFilter max_level() noexcept;

[[nodiscard]] inline bool level_admitted(Level level) noexcept {
  return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(max_level());
}

// Hands a finished record to the sink, if one is installed and wants it.
void dispatch(const Record& record) noexcept;

namespace targets {
inline constexpr std::string_view builder = "quillrun_sdk::builder";
inline constexpr std::string_view read = "quillrun_sdk::read";
inline constexpr std::string_view provenance = "quillrun_sdk::provenance";
}  // namespace targets

}  // namespace quillrun::log

// The message expression is evaluated only when the level is admitted.
#define QR_LOG(level, target, message_expr)                                          \
  do {                                                                               \
    if (::quillrun::log::level_admitted(level)) {                                    \
      const std::string qr_log_message_ = (message_expr);                            \
      ::quillrun::log::dispatch(::quillrun::log::Record{                             \
          (level), (target), qr_log_message_, __FILE__, static_cast<std::uint32_t>(__LINE__)}); \
    }                                                                                \
  } while (false)
#define QR_WARN(target, message_expr) QR_LOG(::quillrun::log::Level::Warn, target, message_expr)
#define QR_DEBUG(target, message_expr) QR_LOG(::quillrun::log::Level::Debug, target, message_expr)
