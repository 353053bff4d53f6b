#pragma once
// The hash of Unit and ChannelUnit: SipHash-1-3 with the all-zero key over a
// byte string made from the unit's codes and label. It is fixed by the codes,
// so it is the same in every process and in every SDK of the format.

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "quillrun/records.hpp"
#include "quillrun/units.hpp"

namespace quillrun::py {

// SipHash-1-3, key (0, 0), read as a signed 64-bit integer.
[[nodiscard]] std::int64_t sip_hash13(std::string_view bytes) noexcept;

// A Unit's bytes: presence of a prefix (u64 0 or 1), the prefix code (u64,
// only when present), the base code (u64), the label, 0xFF; little-endian.
void append_hash_bytes(std::string& out, const Unit& unit);
// The variant number (u64: Custom 0, Legacy 1, Recognized 2), then the
// text and 0xFF, or the Unit's bytes.
void append_hash_bytes(std::string& out, const ChannelUnit& unit);

template <class U>
[[nodiscard]] Py_hash_t unit_hash(const U& unit) {
  std::string bytes;
  append_hash_bytes(bytes, unit);
  return static_cast<Py_hash_t>(sip_hash13(bytes));
}

}  // namespace quillrun::py
