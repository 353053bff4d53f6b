#pragma once
// Read-side additions to the HDF5 layer: what the reader needs to keep a
// hostile image from reaching outside itself or from being silently
// reinterpreted. Link kinds, storage of a dataset, shapes of attributes, and
// whole-dataset reads that refuse values the requested type cannot hold.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/h5/hdf5.hpp"
#include "codec/h5/raw_image.hpp"
#include "codec/layout.hpp"
#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::h5 {

enum class LinkKind : std::uint8_t { Missing, Hard, Other };

// How `parent` links a member of that name: missing, a hard link, or a soft,
// external or user-defined link (which the reader does not follow).
[[nodiscard]] Result<LinkKind, SdkError> link_kind(hid_t parent, std::string_view name);

// A member of a group as its link gives it.
struct Member {
  std::string name;
  LinkKind kind = LinkKind::Other;
  H5O_token_t object{};  // where a hard link's object is
};
// The members of `group` in name order, from one pass over its links (the
// library makes and sorts its table of links at every lookup by index, so
// looking up each of n members by index took time in n squared), as many
// as the group declares it has.
[[nodiscard]] Result<std::vector<Member>, SdkError> list_members_by_name(hid_t group);
// The group that `member` (a hard link, the group's `index`-th member in
// name order) leads to. No path lookup: a stored name such as "." cannot
// lead elsewhere.
[[nodiscard]] Result<Group, SdkError> open_member_group(hid_t group, const Member& member, std::uint64_t index);

// Where a dataset keeps its data and how the data is filtered.
struct DatasetStorage {
  bool is_virtual = false;
  bool external = false;
  std::vector<int> filters;            // HDF5 filter ids, in pipeline order
  std::vector<std::uint64_t> chunk;    // empty when not chunked
  bool compact = false;
  // A contiguous dataset's data, when allocated: where it starts in the file.
  std::optional<std::uint64_t> contiguous_offset;
  // The bytes a compact or allocated contiguous dataset keeps.
  std::uint64_t stored_size = 0;
};
[[nodiscard]] Result<DatasetStorage, SdkError> dataset_storage(hid_t dataset);

// The stored element's size and the number of elements, from the metadata only.
struct Shape {
  std::size_t element_size = 0;
  std::vector<std::uint64_t> dims;  // empty for a scalar (or null) dataspace
  bool null_space = false;          // an H5S_NULL dataspace: no element at all
};
[[nodiscard]] Result<Shape, SdkError> dataset_shape(hid_t dataset);

// The whole dataset in row-major order as T, `count` values (its number of
// elements). Unlike read_dataset, a stored value that T cannot hold (out of
// range, a fraction, an infinity or NaN bound for an integer) fails the read
// instead of being clamped by the library's conversion.
template <class T>
[[nodiscard]] Result<layout::CellVector<T>, SdkError> read_dataset_exact(hid_t dataset, std::size_t count);

// The whole dataset as T (`count` values), its stored chunks read as they
// are and decoded by the core, when its chunks are of the kind the writer
// makes: the file type of T, whole rows per chunk, and deflate alone or
// shuffle then deflate. None for any other dataset, which the caller reads
// through the library instead. A chunk that does not decode to exactly its
// size, or whose stored size or filter mask cannot be right, fails the read.
template <class T>
[[nodiscard]] Result<std::optional<layout::CellVector<T>>, SdkError> read_stored_chunks(hid_t dataset,
                                                                                       std::string_view path,
                                                                                       std::size_t count,
                                                                                       std::uint64_t image_length);

struct AttributeShape {
  H5T_class_t type_class = H5T_NO_CLASS;
  std::size_t element_size = 0;  // size of one element as the library hands it over
  std::uint64_t count = 0;       // number of elements
  bool variable_string = false;
  // What one element takes in the file (a variable-length string: its
  // length and global heap reference), and what the attribute's data takes.
  std::size_t file_element_size = 0;
  std::uint64_t stored_bytes = 0;
};
[[nodiscard]] Result<AttributeShape, SdkError> attribute_shape(hid_t attribute);

// The texts of a variable-length string attribute of `count` elements,
// resolved from the image's `heaps` by the reader itself: HDF5 has followed a damaged
// reference without checking it (and crashed), and a hostile file may hold
// one, so the library only hands over the stored references here. None
// when this library cannot hand them over, or the image has no heaps the
// reader can find (`heaps` null); the caller then reads the
// attribute the library's way. `name` names the attribute in messages.
[[nodiscard]] Result<std::optional<std::vector<std::string>>, SdkError> read_variable_strings(
    hid_t attribute, std::string_view name, GlobalHeaps* heaps, std::size_t count);

}  // namespace quillrun::h5
