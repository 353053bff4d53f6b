#include "codec/read/dataset_access.hpp"

#include <limits>

#include "base/wide_int.hpp"
#include "codec/h5/hdf5_read.hpp"
#include "codec/h5/raw_image.hpp"
#include "codec/read/read_cells.hpp"

namespace quillrun::reader {
namespace {

constexpr Uint128 kAllOnes = ~Uint128{0};

[[nodiscard]] SdkError hdf5_error(std::string text) { return SdkError{sdk_error::Hdf5{std::move(text)}}; }

[[nodiscard]] Uint128 saturating_mul(Uint128 a, Uint128 b) noexcept {
  if (a == 0 || b == 0) return 0;
  if (a > kAllOnes / b) return kAllOnes;
  return a * b;
}

[[nodiscard]] std::string member_path(std::string_view group, std::string_view name) {
  if (group.empty()) return std::string(name);
  std::string path(group);
  path += '/';
  path += name;
  return path;
}

[[nodiscard]] SdkError too_large(std::string path, Uint128 declared, std::uint64_t length) {
  return SdkError{sdk_error::DatasetTooLarge{std::move(path), declared, length}};
}

[[nodiscard]] SdkError not_followed(std::string_view path) {
  return hdf5_error(std::string(path) + " is a soft, external or user-defined link; only hard links are followed");
}

// Data kept outside the image, or behind a filter the reader does not apply,
// is never read.
[[nodiscard]] Status<SdkError> check_storage(const std::string& path, const h5::DatasetStorage& storage) {
  if (storage.is_virtual) return fail(hdf5_error("dataset " + path + " is virtual; its data lies outside the file"));
  if (storage.external) return fail(hdf5_error("dataset " + path + " keeps its data in external files"));
  for (const int filter : storage.filters) {
    if (filter != H5Z_FILTER_DEFLATE && filter != H5Z_FILTER_SHUFFLE)
      return fail(hdf5_error("dataset " + path + " uses HDF5 filter " + std::to_string(filter) +
                             "; only deflate and shuffle are read"));
  }
  return {};
}

[[nodiscard]] ReaderGroup make_group(ReaderFile& file, h5::Group handle, std::string_view name) {
  return ReaderGroup{std::move(handle), std::string(name), &file};
}

}  // namespace

Result<ReaderFile, SdkError> ReaderFile::open(std::span<const std::uint8_t> image) {
  if (image.empty()) return fail(hdf5_error("the file is empty (0 bytes), not an HDF5 file"));
  if (const auto heap = h5::find_damaged_global_heap(image)) {
    return fail(hdf5_error("the global heap collection at byte " + std::to_string(*heap) +
                           " is damaged: its objects do not fill it"));
  }
  QR_ASSIGN_OR_RETURN(h5::OpenImage opened, h5::OpenImage::open(image));
  QR_ASSIGN_OR_RETURN(h5::Group root, h5::open_root(opened.id()));
  return ReaderFile(std::move(opened), std::move(root), image);
}

Status<SdkError> ReaderFile::charge(const std::string& path, Uint128 bytes) {
  if (bytes > limit() || spent_ > limit() - bytes) return fail(too_large(path, bytes, length()));
  spent_ += bytes;
  return {};
}

Result<std::optional<ReaderGroup>, SdkError> open_optional_group(ReaderFile& file, std::string_view name) {
  QR_ASSIGN_OR_RETURN(const h5::LinkKind kind, h5::link_kind(file.root(), name));
  if (kind == h5::LinkKind::Missing) return std::optional<ReaderGroup>();
  if (kind == h5::LinkKind::Other) return fail(not_followed(name));
  QR_ASSIGN_OR_RETURN(h5::Group handle, h5::open_group(file.root(), name));
  return std::optional<ReaderGroup>(make_group(file, std::move(handle), name));
}

Result<ReaderGroup, SdkError> open_group(ReaderFile& file, std::string_view name) {
  QR_ASSIGN_OR_RETURN(const h5::LinkKind kind, h5::link_kind(file.root(), name));
  if (kind == h5::LinkKind::Other) return fail(not_followed(name));
  // A missing group fails inside the library, with its own text.
  QR_ASSIGN_OR_RETURN(h5::Group handle, h5::open_group(file.root(), name));
  return make_group(file, std::move(handle), name);
}

Result<std::optional<CheckedDataset>, SdkError> open_optional_dataset(const ReaderGroup& group,
                                                                      std::string_view name) {
  QR_ASSIGN_OR_RETURN(const h5::LinkKind kind, h5::link_kind(group.handle.get(), name));
  if (kind == h5::LinkKind::Missing) return std::optional<CheckedDataset>();
  QR_ASSIGN_OR_RETURN(CheckedDataset dataset, open_dataset(group, name));
  return std::optional<CheckedDataset>(std::move(dataset));
}

Result<CheckedDataset, SdkError> open_dataset(const ReaderGroup& group, std::string_view name) {
  QR_ASSIGN_OR_RETURN(const h5::LinkKind kind, h5::link_kind(group.handle.get(), name));
  if (kind == h5::LinkKind::Other) return fail(not_followed(member_path(group.name, name)));
  QR_ASSIGN_OR_RETURN(h5::Dataset handle, h5::open_dataset(group.handle.get(), name));
  return guard_dataset_size(group, name, std::move(handle));
}

Result<CheckedDataset, SdkError> guard_dataset_size(const ReaderGroup& group, std::string_view name,
                                                    h5::Dataset dataset) {
  std::string path = member_path(group.name, name);
  const std::uint64_t length = group.file->length();
  const Uint128 limit = group.file->limit();

  QR_ASSIGN_OR_RETURN(const h5::Shape shape, h5::dataset_shape(dataset.get()));
  Uint128 elements = shape.null_space ? 0 : 1;
  for (const std::uint64_t d : shape.dims) elements = saturating_mul(elements, d);
  const Uint128 declared = saturating_mul(shape.element_size, elements);
  if (declared > limit) return fail(too_large(std::move(path), declared, length));

  QR_ASSIGN_OR_RETURN(const h5::DatasetStorage storage, h5::dataset_storage(dataset.get()));
  QR_TRY(check_storage(path, storage));
  // HDF5 has copied a contiguous or compact dataset's whole extent out of
  // its storage without comparing the two; a hostile file's storage of
  // another size than the extent, or past the end of the image, is refused
  // here rather than trusted to the library's checks.
  if (storage.compact && Uint128{storage.stored_size} != declared) {
    return fail(hdf5_error("dataset " + path + " keeps " + std::to_string(storage.stored_size) +
                           " bytes in its header for " + to_decimal(declared) + " bytes of data"));
  }
  if (storage.contiguous_offset) {
    const std::uint64_t offset = *storage.contiguous_offset;
    if (Uint128{storage.stored_size} != declared || offset > length || storage.stored_size > length - offset) {
      return fail(hdf5_error("dataset " + path + " keeps " + std::to_string(storage.stored_size) + " bytes at byte " +
                             std::to_string(offset) + " of the file for " + to_decimal(declared) + " bytes of data"));
    }
  }
  // The library decompresses a whole chunk at a time, however small the extent.
  if (!storage.chunk.empty()) {
    Uint128 chunk_bytes = shape.element_size;
    for (const std::uint64_t d : storage.chunk) chunk_bytes = saturating_mul(chunk_bytes, d);
    if (chunk_bytes > limit) return fail(too_large(std::move(path), chunk_bytes, length));
  }
  QR_TRY(group.file->charge(path, declared));
  return CheckedDataset{std::move(dataset), std::move(path), static_cast<std::size_t>(elements), declared,
                        group.file};
}

template <class T>
Result<layout::CellVector<T>, SdkError> read_whole(const CheckedDataset& dataset) {
  // A value read as a wider type than stored takes more memory than declared.
  const Uint128 in_memory = saturating_mul(dataset.count, sizeof(T));
  if (in_memory > dataset.declared) QR_TRY(dataset.file->charge(dataset.path, in_memory - dataset.declared));
  QR_ASSIGN_OR_RETURN(std::optional<layout::CellVector<T>> decoded,
                      h5::read_stored_chunks<T>(dataset.handle.get(), dataset.path, dataset.count,
                                                dataset.file->length()));
  if (decoded) return std::move(*decoded);
  return h5::read_dataset_exact<T>(dataset.handle.get(), dataset.count);
}

template Result<layout::CellVector<std::uint8_t>, SdkError> read_whole<std::uint8_t>(const CheckedDataset&);
template Result<layout::CellVector<std::uint32_t>, SdkError> read_whole<std::uint32_t>(const CheckedDataset&);
template Result<layout::CellVector<std::uint64_t>, SdkError> read_whole<std::uint64_t>(const CheckedDataset&);
template Result<layout::CellVector<std::int64_t>, SdkError> read_whole<std::int64_t>(const CheckedDataset&);
template Result<layout::CellVector<float>, SdkError> read_whole<float>(const CheckedDataset&);
template Result<layout::CellVector<double>, SdkError> read_whole<double>(const CheckedDataset&);

Status<SdkError> expect_rows(std::string_view group, std::string_view dataset, std::uint64_t expected,
                             std::uint64_t found) {
  if (expected == found) return {};
  return fail(SdkError{sdk_error::RowCountMismatch{std::string(group), std::string(dataset), expected, found}});
}

// ---------------------------------------------------------------------------
// Attributes

Result<AttributeSet, SdkError> AttributeSet::gather(ReaderFile& file, hid_t object, std::string object_path) {
  AttributeSet set;
  set.object_path_ = std::move(object_path);
  QR_ASSIGN_OR_RETURN(const std::vector<std::string> names, h5::list_attributes(object));
  set.entries_.reserve(names.size());
  for (const std::string& name : names) {
    QR_ASSIGN_OR_RETURN(h5::Attribute attribute, h5::open_attribute(object, name));
    QR_ASSIGN_OR_RETURN(const h5::AttributeShape shape, h5::attribute_shape(attribute.get()));
    // Attribute data lives in the object headers, uncompressed: it cannot
    // declare more than the file holds.
    const Uint128 declared = saturating_mul(shape.element_size, shape.count);
    if (declared > file.length())
      return fail(too_large(member_path(set.object_path_, name), declared, file.length()));
    // The library copies the data of a text or float attribute out by the
    // size its type has in the file, without comparing that with what the
    // attribute holds: a file whose type disagrees with its data (a
    // variable-length string type whose stored size was changed) would be
    // read past the end of the data.
    const Uint128 expected = saturating_mul(shape.file_element_size, shape.count);
    if ((shape.type_class == H5T_STRING || shape.type_class == H5T_FLOAT) && Uint128{shape.stored_bytes} != expected) {
      return fail(hdf5_error("attribute " + member_path(set.object_path_, name) + " keeps " +
                             std::to_string(shape.stored_bytes) + " bytes in its header for " + to_decimal(expected) +
                             " bytes of data"));
    }
    std::optional<std::vector<std::string>> strings;
    if (shape.variable_string) {
      QR_ASSIGN_OR_RETURN(strings, h5::read_variable_strings(attribute.get(), member_path(set.object_path_, name),
                                                             file.heaps(), static_cast<std::size_t>(shape.count)));
    }
    h5::AttributeValue value;
    if (strings) {
      value.kind = h5::AttributeValue::Kind::Text;
      value.count = shape.count;
      value.texts = std::move(*strings);
    } else {
      QR_ASSIGN_OR_RETURN(value, h5::read_attribute(attribute.get()));
    }
    set.entries_.push_back(Entry{name, shape.element_size, std::move(value)});
  }
  return set;
}

const AttributeSet::Entry* AttributeSet::find(std::string_view name) const noexcept {
  for (const Entry& entry : entries_)
    if (entry.name == name) return &entry;
  return nullptr;
}

Result<std::string, SdkError> AttributeSet::checked_text(const Entry& entry, std::string text) const {
  if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (auto bad = find_utf8_error(bytes))
    return fail(SdkError{sdk_error::FieldDecode{object_path_, entry.name, FieldError{*bad}}});
  return text;
}

Result<std::optional<std::string>, SdkError> AttributeSet::text(std::string_view name) const {
  const Entry* entry = find(name);
  if (entry == nullptr || entry->value.kind != h5::AttributeValue::Kind::Text || entry->value.count != 1 ||
      entry->value.texts.size() != 1)
    return std::optional<std::string>();
  QR_ASSIGN_OR_RETURN(std::string text, checked_text(*entry, entry->value.texts.front()));
  return std::optional<std::string>(std::move(text));
}

Result<std::optional<std::vector<std::string>>, SdkError> AttributeSet::text_list(std::string_view name) const {
  const Entry* entry = find(name);
  if (entry == nullptr || entry->value.kind != h5::AttributeValue::Kind::Text || entry->value.texts.empty())
    return std::optional<std::vector<std::string>>();
  std::vector<std::string> texts;
  texts.reserve(entry->value.texts.size());
  for (const std::string& stored : entry->value.texts) {
    QR_ASSIGN_OR_RETURN(std::string text, checked_text(*entry, stored));
    texts.push_back(std::move(text));
  }
  return std::optional<std::vector<std::string>>(std::move(texts));
}

std::optional<double> AttributeSet::number(std::string_view name) const {
  const Entry* entry = find(name);
  if (entry == nullptr || entry->value.kind != h5::AttributeValue::Kind::Float) return std::nullopt;
  if (entry->element_size != 4 && entry->element_size != 8) return std::nullopt;
  if (entry->value.count != 1 || entry->value.floats.size() != 1) return std::nullopt;
  return entry->value.floats.front();
}

}  // namespace quillrun::reader
