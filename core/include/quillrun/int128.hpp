#pragma once
// GCC's 128-bit integers, for microsecond arithmetic and declared sizes that
// overflow 64 bits; __extension__ keeps -Wpedantic quiet about them.

namespace quillrun {

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 Uint128;

}  // namespace quillrun
