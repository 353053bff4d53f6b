#pragma once
// Chunks of a filtered dataset coded by the core itself rather than by the
// HDF5 filter pipeline: shuffle, then deflate (zlib format, level 6, by
// libdeflate, so one trace gives the same bytes on every machine), and the
// reverse. The coding runs on worker threads; HDF5 sees only finished
// chunks, handed over by the calling thread in chunk order.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::codec {

// The level of every chunk the core deflates.
inline constexpr unsigned kDeflateLevel = 6;

// Bits of a stored chunk's filter mask: a set bit marks the filter at that
// place of the pipeline as not applied to the chunk.
inline constexpr std::uint32_t kSkipFirst = 1;
inline constexpr std::uint32_t kSkipSecond = 2;

// The byte planes of a chunk of `element_size`-byte elements, as HDF5's
// shuffle filter lays them out: byte j of element i goes to j * n + i. Bytes
// past the last whole element stay where they are.
void shuffle(std::span<const std::uint8_t> in, std::size_t element_size, std::span<std::uint8_t> out) noexcept;
void unshuffle(std::span<const std::uint8_t> in, std::size_t element_size, std::span<std::uint8_t> out) noexcept;

// What one thread needs to code chunks; the coders are made on first use.
class Scratch {
 public:
  Scratch() noexcept;
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  // The zlib stream of `in` at level 6 into `out`, or none when it would not
  // be shorter than `in`.
  [[nodiscard]] std::optional<std::size_t> deflate(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  // Whether `in` is one zlib stream that inflates to exactly out.size() bytes.
  [[nodiscard]] bool inflate(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  // A buffer of at least `size` bytes, kept for the next chunk; `which` picks
  // one of two.
  [[nodiscard]] std::span<std::uint8_t> buffer(std::size_t size, std::size_t which = 0);

 private:
  struct Coders;
  std::unique_ptr<Coders> coders_;
  std::vector<std::uint8_t> buffers_[2];
};

// The largest zlib stream a chunk of `chunk_bytes` takes from any sound
// deflate encoder that gives up on stored blocks no later than zlib does.
[[nodiscard]] std::size_t max_stored_size(std::size_t chunk_bytes) noexcept;

// Items of a step per thread it starts: a step of fewer than twice as many
// runs on the calling thread alone.
inline constexpr std::size_t kItemsPerThread = 4;

// Runs `count` items through up to three steps: `first` on the calling thread
// in item order, `middle` on the calling thread and on threads started for
// the call, `last` on the calling thread in item order. At most `window` items
// are between `first` and the end of `last` at once; `slot` (below `window`)
// names the item's place in that window, so buffers sized per slot bound the
// memory. The first failure in item order is returned; items after it are not
// started.
struct Steps {
  std::size_t count = 0;
  std::size_t window = 1;
  std::function<Status<SdkError>(std::size_t item, std::size_t slot)> first;  // may be empty
  std::function<Status<SdkError>(std::size_t item, std::size_t slot, Scratch& scratch)> middle;
  std::function<Status<SdkError>(std::size_t item, std::size_t slot)> last;  // may be empty
};
[[nodiscard]] Status<SdkError> run_in_order(const Steps& steps);

// Runs `body(begin, end)` as run_in_order runs `middle`, for the blocks of
// `block` items that cover [0, count), and returns the first failure in block
// order, so that a check made row by row fails on the same row as a loop
// would.
[[nodiscard]] Status<SdkError> for_blocks(std::size_t count, std::size_t block,
                                          const std::function<Status<SdkError>(std::size_t, std::size_t)>& body);

// The window that keeps every thread of a step busy.
[[nodiscard]] std::size_t default_window() noexcept;

}  // namespace quillrun::codec
