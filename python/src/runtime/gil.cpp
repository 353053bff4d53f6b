#include "runtime/gil.hpp"

#include <new>

namespace quillrun::py {
namespace {

// The guard this thread is in, if any: the logging sink's view of whether
// the thread may call Python. Guards and their held records belong to one
// thread each, so a fork's child, whose only thread forked with the
// interpreter lock held, has none to reset.
thread_local WithoutGil* t_without_gil = nullptr;

}  // namespace

WithoutGil::WithoutGil() noexcept {
  t_without_gil = this;
  thread_ = PyEval_SaveThread();
}

WithoutGil::~WithoutGil() {
  PyEval_RestoreThread(thread_);
  t_without_gil = nullptr;
  for (const HeldRecord& held : held_) {
    log::dispatch(log::Record{held.level, held.target, held.message, held.file, held.line});
  }
}

bool hold_while_without_gil(const log::Record& record) noexcept {
  WithoutGil* guard = t_without_gil;
  if (guard == nullptr) return false;
  try {
    guard->held_.push_back(WithoutGil::HeldRecord{record.level, std::string(record.target),
                                                  std::string(record.message), std::string(record.file),
                                                  record.line});
  } catch (const std::bad_alloc&) {
    // Out of memory: the record is lost rather than the work.
  }
  return true;
}

}  // namespace quillrun::py
