#pragma once
// Long core work without the interpreter lock, so that other Python threads
// run meanwhile. The work must touch no Python object.

#include <Python.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quillrun/log.hpp"

namespace quillrun::py {

// Gives the interpreter lock up for its lifetime. The core's log records
// made on this thread meanwhile are held, and handed to the sink in their
// order once the lock is back: no Python code then runs while the core holds
// its HDF5 lock, so neither a logging handler that reads a file nor a thread
// waiting for that lock can deadlock. Does not nest.
class WithoutGil {
 public:
  WithoutGil() noexcept;
  ~WithoutGil();
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  struct HeldRecord {
    log::Level level;
    std::string target;
    std::string message;
    std::string file;
    std::uint32_t line;
  };
  friend bool hold_while_without_gil(const log::Record& record) noexcept;

  std::vector<HeldRecord> held_;
  PyThreadState* thread_ = nullptr;
};

// Keeps `record` for delivery after the work when this thread is inside a
// WithoutGil; false when it holds the interpreter lock.
[[nodiscard]] bool hold_while_without_gil(const log::Record& record) noexcept;

// The result of `work()`, run without the interpreter lock.
template <class Work>
auto without_gil(Work&& work) {
  const WithoutGil released;
  return std::forward<Work>(work)();
}

}  // namespace quillrun::py
