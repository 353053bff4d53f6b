#pragma once
// Test helper: one capturing sink, installed for the whole test process
// (the facade accepts exactly one sink per process).

#include <string>
#include <vector>

#include "quillrun/log.hpp"

namespace quillrun::testing {

struct CapturedRecord {
  log::Level level;
  std::string target;
  std::string message;
};

class LogCapture final : public log::Sink {
 public:
  // Installs the sink on first use and sets the level to `level`; clears
  // what earlier tests captured.
  static LogCapture& start(log::LevelFilter level = log::LevelFilter::Debug) {
    static LogCapture capture;
    static const bool installed = log::set_sink(&capture).has_value();
    (void)installed;
    log::set_max_level(level);
    capture.records.clear();
    return capture;
  }

  bool enabled(log::Level, std::string_view) const noexcept override { return true; }
  void log(const log::Record& r) noexcept override {
    records.push_back(CapturedRecord{r.level, std::string(r.target), std::string(r.message)});
  }

  std::vector<CapturedRecord> records;
};

}  // namespace quillrun::testing
