#pragma once
// The reader's only way into the HDF5 image: optional and required groups
// and datasets, the size guard every dataset passes before it is read, and
// the attributes of an object with the reader's rules for their forms.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/h5/hdf5.hpp"
#include "codec/h5/raw_image.hpp"
#include "codec/layout.hpp"
#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::reader {

// Deflate expands at most about 1032-fold, so no honest dataset declares
// more than this many bytes per byte of the file.
inline constexpr std::uint64_t kMaxExpansion = 1032;

// What the library may hold for itself during one read: its caches and
// working buffers (a valid trace of a million points needs about 4 MiB), and
// what it decodes of the file's structure, object headers, heaps and B-trees,
// which takes up to about 24 times the bytes it is decoded from (tens of
// thousands of tiny attributes). The chunks of a dataset that the library
// decodes come on top (h5::read_dataset_exact).
inline constexpr std::uint64_t kLibraryMemoryBase = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kLibraryMemoryPerByte = 32;
[[nodiscard]] constexpr std::uint64_t library_memory_limit(std::uint64_t file_length) noexcept {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (file_length > (kMax - kLibraryMemoryBase) / kLibraryMemoryPerByte) return kMax;
  return kLibraryMemoryBase + kLibraryMemoryPerByte * file_length;
}

// The open image of one read. All datasets of the read share one budget of
// declared bytes, the same bound as for a single dataset, so that many
// datasets that each pass the guard cannot add up to an exhausting read.
class ReaderFile {
 public:
  // An empty input is refused here: the library is never handed one.
  [[nodiscard]] static Result<ReaderFile, SdkError> open(std::span<const std::uint8_t> image);

  [[nodiscard]] hid_t root() const noexcept { return root_.get(); }
  [[nodiscard]] std::span<const std::uint8_t> image() const noexcept { return bytes_; }
  [[nodiscard]] std::uint64_t length() const noexcept { return bytes_.size(); }
  [[nodiscard]] Uint128 limit() const noexcept { return Uint128{length()} * kMaxExpansion; }
  // Counts `bytes` of the dataset `path` against the budget, or fails with
  // DatasetTooLarge for the dataset that crosses it.
  [[nodiscard]] Status<SdkError> charge(const std::string& path, Uint128 bytes);
  // The global heaps that variable-length texts are resolved from, shared by
  // every attribute of the read; null when the image has none to find.
  [[nodiscard]] h5::GlobalHeaps* heaps() noexcept { return heaps_ ? &*heaps_ : nullptr; }

 private:
  ReaderFile(h5::OpenImage image, h5::Group root, std::span<const std::uint8_t> bytes)
      : image_(std::move(image)), root_(std::move(root)), bytes_(bytes), heaps_(h5::GlobalHeaps::of(bytes)) {}
  h5::OpenImage image_;
  h5::Group root_;  // declared after the image: closed first
  std::span<const std::uint8_t> bytes_;
  std::optional<h5::GlobalHeaps> heaps_;
  Uint128 spent_ = 0;
};

// An open group of the file; `name` names its datasets in messages ("markers",
// or "channels/<channel>" for a channel's subgroup).
struct ReaderGroup {
  h5::Group handle;
  std::string name;
  ReaderFile* file;  // the read this group belongs to; outlives the group
};

// A dataset that has passed the guard, and the number of its elements.
struct CheckedDataset {
  h5::Dataset handle;
  std::string path;
  std::size_t count = 0;
  Uint128 declared = 0;
  ReaderFile* file;
};

[[nodiscard]] Result<std::optional<ReaderGroup>, SdkError> open_optional_group(ReaderFile& file, std::string_view name);
[[nodiscard]] Result<ReaderGroup, SdkError> open_group(ReaderFile& file, std::string_view name);
[[nodiscard]] Result<std::optional<CheckedDataset>, SdkError> open_optional_dataset(const ReaderGroup& group,
                                                                                    std::string_view name);
[[nodiscard]] Result<CheckedDataset, SdkError> open_dataset(const ReaderGroup& group, std::string_view name);
[[nodiscard]] Result<CheckedDataset, SdkError> guard_dataset_size(const ReaderGroup& group, std::string_view name,
                                                                  h5::Dataset dataset);

// The whole dataset as T, in row-major order. Values T cannot hold fail the
// read (Hdf5) rather than being clamped.
template <class T>
[[nodiscard]] Result<layout::CellVector<T>, SdkError> read_whole(const CheckedDataset& dataset);

// Opens a required dataset and reads it whole.
template <class T>
[[nodiscard]] Result<layout::CellVector<T>, SdkError> read_required(const ReaderGroup& group, std::string_view name) {
  QR_ASSIGN_OR_RETURN(const CheckedDataset dataset, open_dataset(group, name));
  return read_whole<T>(dataset);
}

// Opens an optional dataset and reads it whole; none when it is missing.
template <class T>
[[nodiscard]] Result<std::optional<layout::CellVector<T>>, SdkError> read_optional(const ReaderGroup& group,
                                                                            std::string_view name) {
  QR_ASSIGN_OR_RETURN(std::optional<CheckedDataset> dataset, open_optional_dataset(group, name));
  if (!dataset) return std::optional<layout::CellVector<T>>();
  QR_ASSIGN_OR_RETURN(layout::CellVector<T> values, read_whole<T>(*dataset));
  return std::optional<layout::CellVector<T>>(std::move(values));
}

// RowCountMismatch unless `found` == `expected`.
[[nodiscard]] Status<SdkError> expect_rows(std::string_view group, std::string_view dataset, std::uint64_t expected,
                                           std::uint64_t found);

// The attributes of one object, read once and looked up by exact name.
class AttributeSet {
 public:
  // `object_path` names the attributes in messages: empty for the root.
  [[nodiscard]] static Result<AttributeSet, SdkError> gather(ReaderFile& file, hid_t object,
                                                             std::string object_path);

  // A text of any string kind, or a list of exactly one text; none for any
  // other form. The text ends at its first NUL; it must be UTF-8.
  [[nodiscard]] Result<std::optional<std::string>, SdkError> text(std::string_view name) const;
  // A list of texts gives them in order (none when empty), a single text a
  // list of one; none for any other form.
  [[nodiscard]] Result<std::optional<std::vector<std::string>>, SdkError> text_list(std::string_view name) const;
  // A 32- or 64-bit float, scalar or a list of one; none for any other form.
  [[nodiscard]] std::optional<double> number(std::string_view name) const;

 private:
  struct Entry {
    std::string name;
    std::size_t element_size = 0;
    h5::AttributeValue value;
  };
  [[nodiscard]] const Entry* find(std::string_view name) const noexcept;
  [[nodiscard]] Result<std::string, SdkError> checked_text(const Entry& entry, std::string text) const;

  std::string object_path_;
  std::vector<Entry> entries_;
};

}  // namespace quillrun::reader
