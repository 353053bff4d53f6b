#include "codec/h5/chunk_codec.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "base/thread_pool.hpp"

namespace quillrun::codec {
namespace {

template <std::size_t Size>
void shuffle_fixed(const std::uint8_t* in, std::size_t elements, std::uint8_t* out) noexcept {
  for (std::size_t i = 0; i < elements; ++i)
    for (std::size_t j = 0; j < Size; ++j) out[j * elements + i] = in[i * Size + j];
}

template <std::size_t Size>
void unshuffle_fixed(const std::uint8_t* in, std::size_t elements, std::uint8_t* out) noexcept {
  for (std::size_t i = 0; i < elements; ++i)
    for (std::size_t j = 0; j < Size; ++j) out[i * Size + j] = in[j * elements + i];
}

template <bool Forward>
void reorder(std::span<const std::uint8_t> in, std::size_t size, std::span<std::uint8_t> out) noexcept {
  const std::size_t elements = size == 0 ? 0 : in.size() / size;
  const std::size_t whole = elements * size;
  if (size <= 1 || elements <= 1) {
    std::memcpy(out.data(), in.data(), in.size());
    return;
  }
  const auto run = [&](auto fixed) {
    if constexpr (Forward)
      shuffle_fixed<decltype(fixed)::value>(in.data(), elements, out.data());
    else
      unshuffle_fixed<decltype(fixed)::value>(in.data(), elements, out.data());
  };
  switch (size) {
    case 2: run(std::integral_constant<std::size_t, 2>{}); break;
    case 4: run(std::integral_constant<std::size_t, 4>{}); break;
    case 8: run(std::integral_constant<std::size_t, 8>{}); break;
    default:
      for (std::size_t i = 0; i < elements; ++i)
        for (std::size_t j = 0; j < size; ++j) {
          if constexpr (Forward)
            out[j * elements + i] = in[i * size + j];
          else
            out[i * size + j] = in[j * elements + i];
        }
  }
  std::memcpy(out.data() + whole, in.data() + whole, in.size() - whole);
}

}  // namespace

void shuffle(std::span<const std::uint8_t> in, std::size_t element_size, std::span<std::uint8_t> out) noexcept {
  reorder<true>(in, element_size, out);
}

void unshuffle(std::span<const std::uint8_t> in, std::size_t element_size, std::span<std::uint8_t> out) noexcept {
  reorder<false>(in, element_size, out);
}

// ---------------------------------------------------------------------------
// Coding

struct Scratch::Coders {
  libdeflate_compressor* compressor = nullptr;
  libdeflate_decompressor* decompressor = nullptr;

  Coders() = default;
  Coders(const Coders&) = delete;
  Coders& operator=(const Coders&) = delete;
  ~Coders() {
    libdeflate_free_compressor(compressor);
    libdeflate_free_decompressor(decompressor);
  }
};

Scratch::Scratch() noexcept = default;
Scratch::~Scratch() = default;

std::optional<std::size_t> Scratch::deflate(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (!coders_) coders_ = std::make_unique<Coders>();
  if (coders_->compressor == nullptr) {
    coders_->compressor = libdeflate_alloc_compressor(static_cast<int>(kDeflateLevel));
    if (coders_->compressor == nullptr) throw std::bad_alloc();
  }
  // Room for one byte less than the input: a stream that does not shrink
  // the chunk does not fit, and the chunk is kept as it is.
  const std::size_t room = std::min(out.size(), in.empty() ? 0 : in.size() - 1);
  const std::size_t size = libdeflate_zlib_compress(coders_->compressor, in.data(), in.size(), out.data(), room);
  if (size == 0) return std::nullopt;
  return size;
}

bool Scratch::inflate(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (!coders_) coders_ = std::make_unique<Coders>();
  if (coders_->decompressor == nullptr) {
    coders_->decompressor = libdeflate_alloc_decompressor();
    if (coders_->decompressor == nullptr) throw std::bad_alloc();
  }
  std::size_t produced = 0;
  const libdeflate_result result =
      libdeflate_zlib_decompress(coders_->decompressor, in.data(), in.size(), out.data(), out.size(), &produced);
  return result == LIBDEFLATE_SUCCESS && produced == out.size();
}

std::span<std::uint8_t> Scratch::buffer(std::size_t size, std::size_t which) {
  std::vector<std::uint8_t>& kept = buffers_[which];
  if (kept.size() < size) kept.resize(size);
  return std::span<std::uint8_t>(kept.data(), size);
}

std::size_t max_stored_size(std::size_t chunk_bytes) noexcept {
  // zlib's compressBound, and libdeflate's own bound where it is larger.
  const std::size_t zlib = chunk_bytes + (chunk_bytes >> 12) + (chunk_bytes >> 14) + (chunk_bytes >> 25) + 13;
  return std::max(zlib, libdeflate_zlib_compress_bound(nullptr, chunk_bytes));
}

// ---------------------------------------------------------------------------
// Running the steps

namespace {

class Run {
 public:
  explicit Run(const Steps& steps)
      : steps_(steps), stop_at_(steps.count), done_(steps.window, 0), failures_(steps.window) {}

  // The calling thread: `first` and `last` in order, `middle` when it can
  // do nothing else.
  void lead() {
    Scratch scratch;
    std::unique_lock lock(mutex_);
    while (next_last_ < stop_at_) {
      const std::size_t slot = next_last_ % steps_.window;
      if (done_[slot] != 0) {
        done_[slot] = 0;
        if (failures_[slot]) {
          result_ = fail(std::move(*failures_[slot]));
          break;
        }
        if (steps_.last) {
          lock.unlock();
          Status<SdkError> status = guarded([&] { return steps_.last(next_last_, slot); });
          lock.lock();
          if (!status) {
            result_ = std::move(status);
            break;
          }
        }
        ++next_last_;
        continue;
      }
      if (next_first_ < stop_at_ && next_first_ < next_last_ + steps_.window) {
        const std::size_t item = next_first_;
        if (steps_.first) {
          lock.unlock();
          Status<SdkError> status = guarded([&] { return steps_.first(item, item % steps_.window); });
          lock.lock();
          if (!status) {
            // Reported once every item before it is through.
            stop_at_ = std::min(stop_at_, item);
            first_failure_ = std::move(status);
            failed_first_ = item;
            continue;
          }
        }
        ++next_first_;
        ready_.notify_all();
        continue;
      }
      if (next_claim_ < std::min(next_first_, stop_at_)) {
        work_one(lock, scratch);
        continue;
      }
      ready_.wait(lock);
    }
    if (result_ && next_last_ == failed_first_ && !first_failure_) result_ = std::move(first_failure_);
    finished_ = true;
    ready_.notify_all();
  }

  // A helper thread: `middle` for whatever item is ready.
  void help() {
    Scratch scratch;
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [&] { return finished_ || next_claim_ < std::min(next_first_, stop_at_); });
      if (finished_) return;
      work_one(lock, scratch);
    }
  }

  [[nodiscard]] Status<SdkError> take_result() {
    if (exception_) std::rethrow_exception(exception_);
    return std::move(result_);
  }

 private:
  // Turns an exception into a failure of the run, so that it reaches the
  // calling thread instead of ending a helper thread.
  template <class F>
  Status<SdkError> guarded(F&& f) {
    try {
      return f();
    } catch (...) {
      const std::lock_guard lock(exception_mutex_);
      if (!exception_) exception_ = std::current_exception();
      return fail(SdkError{sdk_error::Hdf5{"chunk coding failed"}});
    }
  }

  void work_one(std::unique_lock<std::mutex>& lock, Scratch& scratch) {
    const std::size_t item = next_claim_++;
    const std::size_t slot = item % steps_.window;
    lock.unlock();
    Status<SdkError> status = guarded([&] { return steps_.middle(item, slot, scratch); });
    lock.lock();
    if (!status) {
      failures_[slot] = std::move(status).error();
      stop_at_ = std::min(stop_at_, item + 1);
    }
    done_[slot] = 1;
    ready_.notify_all();
  }

  const Steps& steps_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::size_t next_first_ = 0;  // items below it are through `first`
  std::size_t next_claim_ = 0;  // items below it are taken for `middle`
  std::size_t next_last_ = 0;   // items below it are through `last`
  std::size_t stop_at_;         // no item from here on is started
  std::vector<char> done_;      // per slot: `middle` is through
  std::vector<std::optional<SdkError>> failures_;
  Status<SdkError> result_;
  Status<SdkError> first_failure_;
  std::size_t failed_first_ = static_cast<std::size_t>(-1);
  bool finished_ = false;
  std::mutex exception_mutex_;
  std::exception_ptr exception_;
};

}  // namespace

Status<SdkError> run_in_order(const Steps& steps) {
  if (steps.count == 0) return {};
  Run run(steps);
  // Starting a thread costs about as much as coding a small chunk: a
  // thread is started for every few items beyond the caller's, none for a
  // step of a few items.
  const std::size_t threads = std::clamp<std::size_t>(steps.count / kItemsPerThread, 1, pool::thread_count());
  const std::size_t helpers = threads - 1;
  const std::thread::id caller = std::this_thread::get_id();
  pool::run_shared(
      [&] {
        if (std::this_thread::get_id() == caller)
          run.lead();
        else
          run.help();
      },
      helpers);
  return run.take_result();
}

Status<SdkError> for_blocks(std::size_t count, std::size_t block,
                            const std::function<Status<SdkError>(std::size_t, std::size_t)>& body) {
  Steps steps;
  steps.count = (count + block - 1) / block;
  steps.window = std::max<std::size_t>(steps.count, 1);
  steps.middle = [&](std::size_t item, std::size_t, Scratch&) {
    return body(item * block, std::min(count, (item + 1) * block));
  };
  return run_in_order(steps);
}

std::size_t default_window() noexcept { return 4 * pool::thread_count(); }

}  // namespace quillrun::codec
