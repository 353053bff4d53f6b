#pragma once
// The one UTF-8 decoder of the core: texts read from files are checked with
// it, and messages quote texts with it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::utf8 {

struct CodePoint {
  char32_t value;
  std::size_t length;  // bytes of its sequence, 1 to 4
};

// Why the bytes at the start do not decode, as the standard decoders report
// it: the length of the bad sequence (1 to 3), or none when the bytes end
// inside a sequence that could still have been valid.
struct Fault {
  std::optional<std::size_t> length;
};

// The well-formed sequence at the start of non-empty `bytes`; overlong
// forms, surrogates and code points past U+10FFFF are not well-formed.
[[nodiscard]] Result<CodePoint, Fault> decode(std::span<const std::uint8_t> bytes) noexcept;

[[nodiscard]] inline std::span<const std::uint8_t> bytes_of(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace quillrun::utf8

namespace quillrun {

// The first UTF-8 fault of `bytes`, or none when they are all valid: the
// length of the valid prefix, and the fault's length.
[[nodiscard]] std::optional<field_error::NotUtf8> find_utf8_error(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace quillrun
