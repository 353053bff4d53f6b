#pragma once
// The bridge that forwards the core's log records to Python's `logging`.

namespace quillrun::py {

// Creates the bridge and installs it as the process-wide sink of the core's
// records. The first success in the process sets the maximum level to
// debug; a failure (no `logging`, or a sink installed by an earlier
// execution of the module) becomes one warn record on `_quillrun_sdk`, which
// reaches Python only through a bridge installed before.
void install_logging_bridge() noexcept;

}  // namespace quillrun::py
