#include "bridge/unit_hash.hpp"

#include <bit>
#include <cstdint>

namespace quillrun::py {
namespace {

struct SipState {
  std::uint64_t v0 = 0x736f6d6570736575ULL;
  std::uint64_t v1 = 0x646f72616e646f6dULL;
  std::uint64_t v2 = 0x6c7967656e657261ULL;
  std::uint64_t v3 = 0x7465646279746573ULL;

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  // One compression round per word: the "1" of SipHash-1-3.
  void absorb(std::uint64_t word) noexcept {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

std::uint64_t load_le(std::string_view bytes, std::size_t at, std::size_t count) noexcept {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) {
    word |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  }
  return word;
}

void append_u64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFU));
}

void append_text(std::string& out, std::string_view text) {
  out.append(text);
  out.push_back(static_cast<char>(0xFF));
}

}  // namespace

std::int64_t sip_hash13(std::string_view bytes) noexcept {
  SipState state;  // the key (0, 0) leaves the initial constants as they are
  const std::size_t whole = bytes.size() - bytes.size() % 8;
  for (std::size_t at = 0; at < whole; at += 8) state.absorb(load_le(bytes, at, 8));
  // The last word carries the length's low byte on top.
  state.absorb(load_le(bytes, whole, bytes.size() - whole) | (std::uint64_t{bytes.size() & 0xFFU} << 56));
  state.v2 ^= 0xFF;
  for (int i = 0; i < 3; ++i) state.round();
  return std::bit_cast<std::int64_t>(state.v0 ^ state.v1 ^ state.v2 ^ state.v3);
}

void append_hash_bytes(std::string& out, const Unit& unit) {
  append_u64(out, unit.prefix ? 1 : 0);
  if (unit.prefix) append_u64(out, static_cast<std::uint64_t>(*unit.prefix));
  append_u64(out, static_cast<std::uint64_t>(unit.base));
  append_text(out, unit.label);
}

void append_hash_bytes(std::string& out, const ChannelUnit& unit) {
  switch (unit.kind) {
    case ChannelUnit::Kind::Custom:
      append_u64(out, 0);
      append_text(out, unit.text);
      return;
    case ChannelUnit::Kind::Legacy:
      append_u64(out, 1);
      append_text(out, unit.text);
      return;
    case ChannelUnit::Kind::Recognized:
      append_u64(out, 2);
      append_hash_bytes(out, unit.unit);
      return;
  }
}

}  // namespace quillrun::py
