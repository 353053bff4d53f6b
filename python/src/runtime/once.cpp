#include "runtime/once.hpp"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <new>

namespace quillrun::py {

// One lock and one wake-up for every cell: initialisations are rare, and a
// waiter simply checks its own cell again when woken.
//
// A fork takes the lock, so that the child finds it free and the cells as
// they were between two steps. No thread holds it while it waits for
// anything else (a waiter gives up the interpreter lock before taking it and
// lets it go before taking the interpreter lock back), so the fork cannot
// deadlock on it, whichever of our locks it takes first.
struct OnceCell::Coordination {
  std::mutex mutex;
  std::condition_variable done;
  OnceCell* running = nullptr;  // the running cells, linked by next_running_

  Coordination() noexcept { (void)pthread_atfork(&prepare, &parent, &child); }

  void start(OnceCell& cell, std::thread::id runner) noexcept {
    cell.running_ = true;
    cell.runner_ = runner;
    cell.next_running_ = running;
    running = &cell;
  }

  void stop(OnceCell& cell) noexcept {
    cell.running_ = false;
    for (OnceCell** link = &running; *link != nullptr; link = &(*link)->next_running_) {
      if (*link == &cell) {
        *link = cell.next_running_;
        break;
      }
    }
    cell.next_running_ = nullptr;
  }

  static void prepare() noexcept { coordination().mutex.lock(); }
  static void parent() noexcept { coordination().mutex.unlock(); }
  // The forking thread is the child's only thread: an initialisation of
  // another thread never ends there, and the wake-up may still count that
  // thread's waits, so a wait or a wake-up on it could block for good.
  static void child() noexcept {
    Coordination& c = coordination();
    const std::thread::id me = std::this_thread::get_id();
    for (OnceCell* cell = c.running; cell != nullptr;) {
      OnceCell* next = cell->next_running_;
      if (cell->runner_ != me) c.stop(*cell);
      cell = next;
    }
    new (&c.done) std::condition_variable();
    c.mutex.unlock();
  }
};

OnceCell::Coordination& OnceCell::coordination() noexcept {
  static Coordination c;
  return c;
}

namespace {

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
        c.start(*this, me);
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
            c.stop(*this);
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
    if (owner) c.stop(*this);
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
