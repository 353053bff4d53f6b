#pragma once
// Everything the module caches besides its type objects, in one place (as
// msgspec keeps its module state): interned names, and the objects of other
// modules it uses. Each entry is made on its first use and then held for the
// process; a failed import is tried again at the next use.

#include "runtime/once.hpp"

namespace quillrun::py {

struct ModuleState {
  // Attribute and method names.
  Interned add_note{"add_note"};
  Interned name{"name"};
  Interned tzinfo{"tzinfo"};
  Interned utcoffset{"utcoffset"};
  Interned year{"year"};
  Interned month{"month"};
  Interned day{"day"};
  Interned hour{"hour"};
  Interned minute{"minute"};
  Interned second{"second"};
  Interned microsecond{"microsecond"};
  Interned days{"days"};
  Interned seconds{"seconds"};
  Interned microseconds{"microseconds"};
  Interned reduce{"__reduce__"};

  // datetime.datetime, datetime.timezone.utc and datetime.timedelta.
  OnceCell datetime_type;
  OnceCell utc;
  OnceCell timedelta_type;
  // collections.abc.Sequence, which names what a list argument must be.
  OnceCell sequence_abc;
  // The exception of the module's own failures.
  OnceCell panic_exception_type;
  // The classes of quillrun_sdk.enums, by EnumKind, and a tuple of the
  // members of each by code (None where the class has no such member).
  OnceCell enum_classes[3];
  OnceCell enum_members[3];
};

// The one state of the process.
[[nodiscard]] ModuleState& module_state() noexcept;

}  // namespace quillrun::py
