#include "bridge/logging_bridge.hpp"

#include <Python.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "runtime/errors.hpp"
#include "runtime/gil.hpp"
#include "quillrun/log.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {
namespace {

long python_level(log::Level level) noexcept {
  switch (level) {
    case log::Level::Error: return 40;
    case log::Level::Warn: return 30;
    case log::Level::Info: return 20;
    case log::Level::Debug: return 10;
    case log::Level::Trace: return 5;
  }
  return 5;
}

// "quillrun_sdk::read" is the logger "quillrun_sdk.read".
std::string logger_name(std::string_view target) {
  std::string name;
  name.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target.compare(i, 2, "::") == 0) {
      name += '.';
      ++i;
    } else {
      name += target[i];
    }
  }
  return name;
}

class LoggingBridge final : public log::Sink {
 public:
  static PyResult<std::unique_ptr<LoggingBridge>> create() {
    auto bridge = std::unique_ptr<LoggingBridge>(new LoggingBridge());
    QR_ASSIGN_OR_RETURN(Ref logging, own(PyImport_ImportModule("logging")));
    QR_ASSIGN_OR_RETURN(bridge->get_logger_, own(PyObject_GetAttrString(logging.get(), "getLogger")));
    QR_ASSIGN_OR_RETURN(bridge->is_enabled_for_, own(PyUnicode_InternFromString("isEnabledFor")));
    QR_ASSIGN_OR_RETURN(bridge->make_record_, own(PyUnicode_InternFromString("makeRecord")));
    QR_ASSIGN_OR_RETURN(bridge->handle_, own(PyUnicode_InternFromString("handle")));
    QR_ASSIGN_OR_RETURN(bridge->no_args_, own(PyTuple_New(0)));
    return bridge;
  }

  bool enabled(log::Level level, std::string_view /*target*/) const noexcept override {
    return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(log::Level::Debug);
  }

  void log(const log::Record& record) noexcept override {
    // Made during work without the interpreter lock: delivered after it.
    if (hold_while_without_gil(record)) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    {
      // The record must not change the outcome of the operation that logs
      // it: a pending exception stays as it is, and the bridge's own
      // failures go to sys.unraisablehook.
      PendingExceptionGuard keep;
      try {
        PyStatus forwarded = forward(record);
        if (!forwarded) write_unraisable(std::move(forwarded).error(), nullptr);
      } catch (...) {
        write_unraisable(PyError::no_memory(), nullptr);
      }
    }
    PyGILState_Release(gil);
  }

 private:
  LoggingBridge() = default;

  // One logger object per target, fetched once (the interpreter lock guards
  // the map; getLogger may give the lock up, so the entry is claimed after).
  PyResult<Ref> logger_for(std::string_view target, const std::string& name) {
    std::string key(target);
    if (auto found = loggers_.find(key); found != loggers_.end()) return found->second.clone();
    QR_ASSIGN_OR_RETURN(Ref name_object, own(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))));
    QR_ASSIGN_OR_RETURN(Ref logger, own(PyObject_CallFunctionObjArgs(get_logger_.get(), name_object.get(), nullptr)));
    auto [entry, inserted] = loggers_.try_emplace(std::move(key), std::move(logger));
    (void)inserted;
    return entry->second.clone();
  }

  PyStatus forward(const log::Record& record) {
    const std::string name = logger_name(record.target);
    QR_ASSIGN_OR_RETURN(Ref logger, logger_for(record.target, name));
    QR_ASSIGN_OR_RETURN(Ref level, own(PyLong_FromLong(python_level(record.level))));

    QR_ASSIGN_OR_RETURN(Ref enabled, own(PyObject_CallMethodObjArgs(logger.get(), is_enabled_for_.get(),
                                                                       level.get(), nullptr)));
    const int is_enabled = PyObject_IsTrue(enabled.get());
    if (is_enabled < 0) return fail(PyError::fetch());
    if (is_enabled == 0) return {};

    auto text = [](std::string_view s) {
      return own(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    };
    QR_ASSIGN_OR_RETURN(Ref name_object, text(name));
    QR_ASSIGN_OR_RETURN(Ref path, text(record.file));
    QR_ASSIGN_OR_RETURN(Ref line, own(PyLong_FromUnsignedLong(record.line)));
    QR_ASSIGN_OR_RETURN(Ref message, text(record.message));
    // An empty args tuple: the message is final text, never a %-template.
    QR_ASSIGN_OR_RETURN(Ref py_record,
                        own(PyObject_CallMethodObjArgs(logger.get(), make_record_.get(), name_object.get(),
                                                       level.get(), path.get(), line.get(), message.get(),
                                                       no_args_.get(), Py_None, nullptr)));
    QR_ASSIGN_OR_RETURN(Ref handled,
                        own(PyObject_CallMethodObjArgs(logger.get(), handle_.get(), py_record.get(), nullptr)));
    return {};
  }

  Ref get_logger_;
  Ref is_enabled_for_;
  Ref make_record_;
  Ref handle_;
  Ref no_args_;
  std::unordered_map<std::string, Ref> loggers_;
};

}  // namespace

void install_logging_bridge() noexcept {
  try {
    std::string failure;
    PyResult<std::unique_ptr<LoggingBridge>> bridge = LoggingBridge::create();
    if (!bridge) {
      failure = describe(bridge.error());
    } else if (auto installed = log::set_sink(bridge->get()); !installed) {
      failure = std::string(installed.error().message());
    } else {
      // The sink lives for the rest of the process.
      (void)bridge->release();
      log::set_max_level(log::LevelFilter::Debug);
      return;
    }
    if (log::level_admitted(log::Level::Warn)) {
      const std::string message = "the sdk's log records stay off python's logging: " + failure;
      // The location is fixed: handlers and filters written against earlier
      // releases match on it.
      log::dispatch(log::Record{log::Level::Warn, log::targets::extension, message, "src/lib", 2146});
    }
  } catch (...) {
    // Out of memory while reporting: the module works without the bridge.
  }
}

}  // namespace quillrun::py
