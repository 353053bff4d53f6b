#include "runtime/once.hpp"

#include <condition_variable>
#include <mutex>

namespace quillrun::py {
namespace {

// One lock and one wake-up for every cell: initialisations are rare, and a
// waiter simply checks its own cell again when woken.
struct Coordination {
  std::mutex mutex;
  std::condition_variable done;
};

Coordination& coordination() {
  static Coordination c;
  return c;
}

// Gives up the interpreter lock for the length of a wait.
class ThreadStateRelease {
 public:
  ThreadStateRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~ThreadStateRelease() { PyEval_RestoreThread(state_); }
  ThreadStateRelease(const ThreadStateRelease&) = delete;
  ThreadStateRelease& operator=(const ThreadStateRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace

PyResult<PyObject*> OnceCell::slow_path(InitFn init, void* context) {
  Coordination& c = coordination();
  const std::thread::id me = std::this_thread::get_id();
  for (;;) {
    enum class Role { Owner, Nested, Waiter } role = Role::Waiter;
    {
      std::lock_guard lock(c.mutex);
      if (PyObject* held = value_.load(std::memory_order_acquire)) return held;
      if (!running_) {
        running_ = true;
        runner_ = me;
        role = Role::Owner;
      } else if (runner_ == me) {
        role = Role::Nested;
      }
    }
    if (role != Role::Waiter) {
      const bool owner = role == Role::Owner;
      PyResult<Ref> made = [&]() -> PyResult<Ref> {
        try {
          return init(context);
        } catch (...) {
          if (owner) {
            std::lock_guard lock(c.mutex);
            running_ = false;
            c.done.notify_all();
          }
          throw;
        }
      }();
      return finish(std::move(made), owner);
    }
    // Another thread is initialising: wait for it without the interpreter
    // lock, then look again (it may have failed, leaving the cell to us).
    ThreadStateRelease released;
    std::unique_lock lock(c.mutex);
    c.done.wait(lock, [&] { return !running_ || value_.load(std::memory_order_acquire) != nullptr; });
  }
}

PyResult<PyObject*> OnceCell::finish(PyResult<Ref> made, bool owner) {
  Coordination& c = coordination();
  Ref surplus;
  PyObject* result = nullptr;
  {
    std::lock_guard lock(c.mutex);
    if (owner) running_ = false;
    if (made) {
      if (PyObject* held = value_.load(std::memory_order_acquire)) {
        // A nested initialisation got there first; keep its object.
        surplus = std::move(made).value();
        result = held;
      } else {
        result = std::move(made).value().release();
        value_.store(result, std::memory_order_release);
      }
    }
    c.done.notify_all();
  }
  // `surplus` is dropped here, outside the lock: its finaliser may run
  // Python code that reaches this cell again.
  if (!made) return fail(std::move(made).error());
  return result;
}

PyResult<PyObject*> Interned::get() {
  return cell_.get_or_init([this]() -> PyResult<Ref> { return own(PyUnicode_InternFromString(text_)); });
}

}  // namespace quillrun::py
