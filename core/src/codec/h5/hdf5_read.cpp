#include "codec/h5/hdf5_read.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "codec/h5/checked.hpp"
#include "codec/h5/chunk_codec.hpp"
#include "codec/h5/raw_image.hpp"

namespace quillrun::h5 {

using detail::check;
using detail::take;

namespace {

[[nodiscard]] LinkKind kind_of(H5L_type_t type) noexcept {
  return type == H5L_TYPE_HARD ? LinkKind::Hard : LinkKind::Other;
}

// Range, fraction, infinity and NaN faults abort the conversion; only the
// precision lost when an integer becomes a float is let through (float
// columns may be stored as integers).
H5T_conv_ret_t refuse_lossy_conversion(H5T_conv_except_t kind, hid_t, hid_t, void*, void*, void*) noexcept {
  return kind == H5T_CONV_EXCEPT_PRECISION ? H5T_CONV_UNHANDLED : H5T_CONV_ABORT;
}

}  // namespace

Result<LinkKind, SdkError> link_kind(hid_t parent, std::string_view name) {
  const ErrorPrintingOff quiet;
  const std::string c_name(name);
  const htri_t exists = H5Lexists(parent, c_name.c_str(), H5P_DEFAULT);
  if (exists < 0) return fail(last_error("H5Lexists"));
  if (exists == 0) return LinkKind::Missing;
  H5L_info_t info{};
  QR_TRY(check(H5Lget_info(parent, c_name.c_str(), &info, H5P_DEFAULT), "H5Lget_info"));
  return kind_of(info.type);
}

namespace {

herr_t collect_member(hid_t, const char* name, const H5L_info2_t* info, void* data) noexcept {
  Member member;
  member.name = name;
  member.kind = kind_of(info->type);
  if (info->type == H5L_TYPE_HARD) member.object = info->u.token;
  static_cast<std::vector<Member>*>(data)->push_back(std::move(member));
  return 0;
}

}  // namespace

Result<std::vector<Member>, SdkError> list_members_by_name(hid_t group) {
  const ErrorPrintingOff quiet;
  H5G_info_t info{};
  QR_TRY(check(H5Gget_info(group, &info), "H5Gget_info"));
  std::vector<Member> members;
  QR_TRY(check(H5Literate2(group, H5_INDEX_NAME, H5_ITER_INC, nullptr, &collect_member, &members), "H5Literate2"));
  // The count a group declares and the links it holds may disagree in a
  // hostile file: only the declared count is read, and a missing member
  // fails as its lookup by index does.
  if (members.size() > info.nlinks) members.resize(static_cast<std::size_t>(info.nlinks));
  if (members.size() < info.nlinks &&
      H5Lget_name_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, members.size(), nullptr, 0, H5P_DEFAULT) < 0)
    return fail(last_error("H5Lget_name_by_idx"));
  if (members.size() < info.nlinks) return fail(last_error("H5Literate2"));
  return members;
}

Result<Group, SdkError> open_member_group(hid_t group, const Member& member, std::uint64_t index) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Handle<&H5Oclose> object,
                      take<Handle<&H5Oclose>>(H5Oopen_by_token(group, member.object), "H5Oopen_by_token"));
  const H5I_type_t type = H5Iget_type(object.get());
  if (type != H5I_GROUP) {
    return fail(SdkError{sdk_error::Hdf5{"member " + std::to_string(index) + " is not a group"}});
  }
  // A group opened through H5Oopen is a group id, closed by H5Gclose as well.
  return Group(object.release());
}

Result<DatasetStorage, SdkError> dataset_storage(hid_t dataset) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(PropList dcpl, take<PropList>(H5Dget_create_plist(dataset), "H5Dget_create_plist"));
  DatasetStorage storage;
  const H5D_layout_t layout = H5Pget_layout(dcpl.get());
  if (layout < 0) return fail(last_error("H5Pget_layout"));
  storage.is_virtual = layout == H5D_VIRTUAL;
  const int externals = H5Pget_external_count(dcpl.get());
  if (externals < 0) return fail(last_error("H5Pget_external_count"));
  storage.external = externals > 0;
  const int filters = H5Pget_nfilters(dcpl.get());
  if (filters < 0) return fail(last_error("H5Pget_nfilters"));
  for (int i = 0; i < filters; ++i) {
    unsigned flags = 0;
    std::size_t values = 0;
    unsigned config = 0;
    const H5Z_filter_t id =
        H5Pget_filter2(dcpl.get(), static_cast<unsigned>(i), &flags, &values, nullptr, 0, nullptr, &config);
    if (id < 0) return fail(last_error("H5Pget_filter2"));
    storage.filters.push_back(id);
  }
  if (layout == H5D_CONTIGUOUS) {
    const haddr_t offset = H5Dget_offset(dataset);
    if (offset != HADDR_UNDEF) {
      storage.contiguous_offset = offset;
      storage.stored_size = H5Dget_storage_size(dataset);
    }
    (void)H5Eclear2(H5E_DEFAULT);  // an unallocated dataset has no offset: not an error
  }
  if (layout == H5D_COMPACT) {
    storage.compact = true;
    storage.stored_size = H5Dget_storage_size(dataset);
  }
  if (layout == H5D_CHUNKED) {
    hsize_t dims[H5S_MAX_RANK] = {};
    const int rank = H5Pget_chunk(dcpl.get(), H5S_MAX_RANK, dims);
    if (rank < 0) return fail(last_error("H5Pget_chunk"));
    storage.chunk.assign(dims, dims + rank);
  }
  return storage;
}

Result<Shape, SdkError> dataset_shape(hid_t dataset) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Datatype type, take<Datatype>(H5Dget_type(dataset), "H5Dget_type"));
  Shape shape;
  shape.element_size = H5Tget_size(type.get());
  if (shape.element_size == 0) return fail(last_error("H5Tget_size"));
  QR_ASSIGN_OR_RETURN(Dataspace space, take<Dataspace>(H5Dget_space(dataset), "H5Dget_space"));
  // Held as an int: a library without the check of the class byte hands a
  // file's value back as it is, which the enum may not hold.
  const int space_class = H5Sget_simple_extent_type(space.get());
  if (space_class == H5S_NO_CLASS) return fail(last_error("H5Sget_simple_extent_type"));
  shape.null_space = space_class == H5S_NULL;
  const int rank = H5Sget_simple_extent_ndims(space.get());
  if (rank < 0) return fail(last_error("H5Sget_simple_extent_ndims"));
  std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
  if (rank > 0 && H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr) < 0)
    return fail(last_error("H5Sget_simple_extent_dims"));
  shape.dims.assign(dims.begin(), dims.end());
  return shape;
}

namespace {

// What the library may hold to decode one chunk of `dataset` (none for a
// dataset that is not chunked): the inflated chunk, in a buffer that doubles
// until it fits, and the unshuffled copy beside it.
[[nodiscard]] Result<std::uint64_t, SdkError> chunk_decoding_bytes(hid_t dataset) {
  QR_ASSIGN_OR_RETURN(PropList dcpl, take<PropList>(H5Dget_create_plist(dataset), "H5Dget_create_plist"));
  const H5D_layout_t layout = H5Pget_layout(dcpl.get());
  if (layout < 0) return fail(last_error("H5Pget_layout"));
  if (layout != H5D_CHUNKED) return std::uint64_t{0};
  std::array<hsize_t, H5S_MAX_RANK> chunk{};
  const int rank = H5Pget_chunk(dcpl.get(), H5S_MAX_RANK, chunk.data());
  if (rank < 0) return fail(last_error("H5Pget_chunk"));
  QR_ASSIGN_OR_RETURN(Datatype type, take<Datatype>(H5Dget_type(dataset), "H5Dget_type"));
  // Saturates: the reader's size guard has bounded a chunk long before.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max() / 3;
  std::uint64_t bytes = H5Tget_size(type.get());
  for (int i = 0; i < rank; ++i) {
    const std::uint64_t d = chunk[static_cast<std::size_t>(i)];
    bytes = d != 0 && bytes > kMax / d ? kMax : bytes * d;
  }
  return 3 * bytes;
}

}  // namespace

template <class T>
Result<layout::CellVector<T>, SdkError> read_dataset_exact(hid_t dataset, std::size_t count) {
  const ErrorPrintingOff quiet;
  layout::CellVector<T> values(count);
  if (count == 0) return values;
  QR_ASSIGN_OR_RETURN(const std::uint64_t chunk_bytes, chunk_decoding_bytes(dataset));
  const MemoryBudget::Extension decoding(chunk_bytes);
  QR_ASSIGN_OR_RETURN(PropList dxpl, take<PropList>(H5Pcreate(H5P_DATASET_XFER), "H5Pcreate"));
  QR_TRY(check(H5Pset_type_conv_cb(dxpl.get(), &refuse_lossy_conversion, nullptr), "H5Pset_type_conv_cb"));
  QR_TRY(check(H5Dread(dataset, ElementType<T>::memory(), H5S_ALL, H5S_ALL, dxpl.get(), values.data()), "H5Dread"));
  return values;
}

template Result<layout::CellVector<std::uint8_t>, SdkError> read_dataset_exact<std::uint8_t>(hid_t, std::size_t);
template Result<layout::CellVector<std::uint32_t>, SdkError> read_dataset_exact<std::uint32_t>(hid_t, std::size_t);
template Result<layout::CellVector<std::uint64_t>, SdkError> read_dataset_exact<std::uint64_t>(hid_t, std::size_t);
template Result<layout::CellVector<std::int64_t>, SdkError> read_dataset_exact<std::int64_t>(hid_t, std::size_t);
template Result<layout::CellVector<float>, SdkError> read_dataset_exact<float>(hid_t, std::size_t);
template Result<layout::CellVector<double>, SdkError> read_dataset_exact<double>(hid_t, std::size_t);

namespace {

constexpr std::size_t kMaxDirectChunkBytes = std::size_t{1} << 22;

// How the stored chunks of a dataset map onto its rows.
struct ChunkPlan {
  std::size_t rows = 0;
  std::size_t row_bytes = 0;
  std::size_t chunk_rows = 0;
  std::size_t filters = 0;  // 1: deflate; 2: shuffle, then deflate
};

// The plan of a dataset whose chunks the core decodes itself, or none.
[[nodiscard]] Result<std::optional<ChunkPlan>, SdkError> chunk_plan(hid_t dataset, hid_t file_type,
                                                                    std::size_t element_size) {
  using None = std::optional<ChunkPlan>;
  QR_ASSIGN_OR_RETURN(Datatype type, take<Datatype>(H5Dget_type(dataset), "H5Dget_type"));
  const htri_t same = H5Tequal(type.get(), file_type);
  if (same < 0) return fail(last_error("H5Tequal"));
  if (same == 0) return None();
  QR_ASSIGN_OR_RETURN(PropList dcpl, take<PropList>(H5Dget_create_plist(dataset), "H5Dget_create_plist"));
  const H5D_layout_t layout = H5Pget_layout(dcpl.get());
  if (layout < 0) return fail(last_error("H5Pget_layout"));
  if (layout != H5D_CHUNKED) return None();
  const int filters = H5Pget_nfilters(dcpl.get());
  if (filters < 0) return fail(last_error("H5Pget_nfilters"));
  if (filters != 1 && filters != 2) return None();
  for (int i = 0; i < filters; ++i) {
    unsigned flags = 0;
    std::array<unsigned, 4> values{};
    std::size_t value_count = values.size();
    unsigned config = 0;
    const H5Z_filter_t id = H5Pget_filter2(dcpl.get(), static_cast<unsigned>(i), &flags, &value_count, values.data(),
                                           0, nullptr, &config);
    if (id < 0) return fail(last_error("H5Pget_filter2"));
    const bool deflate_here = i == filters - 1;
    if (deflate_here && id != H5Z_FILTER_DEFLATE) return None();
    // The library unshuffles by the element size the filter keeps.
    if (!deflate_here && (id != H5Z_FILTER_SHUFFLE || value_count != 1 || values[0] != element_size)) return None();
  }
  std::array<hsize_t, H5S_MAX_RANK> chunk{};
  const int chunk_rank = H5Pget_chunk(dcpl.get(), H5S_MAX_RANK, chunk.data());
  if (chunk_rank < 0) return fail(last_error("H5Pget_chunk"));

  QR_ASSIGN_OR_RETURN(Dataspace space, take<Dataspace>(H5Dget_space(dataset), "H5Dget_space"));
  // Held as an int: a library without the check of the class byte hands a
  // file's value back as it is, which the enum may not hold.
  const int space_class = H5Sget_simple_extent_type(space.get());
  if (space_class == H5S_NO_CLASS) return fail(last_error("H5Sget_simple_extent_type"));
  const int rank = H5Sget_simple_extent_ndims(space.get());
  if (rank < 0) return fail(last_error("H5Sget_simple_extent_ndims"));
  if (space_class != H5S_SIMPLE || (rank != 1 && rank != 2) || chunk_rank != rank) return None();
  std::array<hsize_t, 2> dims{};
  if (H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr) < 0)
    return fail(last_error("H5Sget_simple_extent_dims"));
  if (chunk[0] == 0 || (rank == 2 && (chunk[1] != dims[1] || dims[1] == 0))) return None();
  // Every thread keeps buffers of a chunk's size: larger chunks than the
  // writer's own are left to the library, which holds one at a time.
  if (chunk[0] > kMaxDirectChunkBytes / element_size / (rank == 2 ? dims[1] : 1)) return None();

  ChunkPlan plan;
  plan.rows = static_cast<std::size_t>(dims[0]);
  plan.row_bytes = element_size * (rank == 2 ? static_cast<std::size_t>(dims[1]) : 1);
  plan.chunk_rows = static_cast<std::size_t>(chunk[0]);
  plan.filters = static_cast<std::size_t>(filters);
  // A chunk never written reads as the fill value through the library.
  hsize_t stored = 0;
  QR_TRY(check(H5Dget_num_chunks(dataset, space.get(), &stored), "H5Dget_num_chunks"));
  if (stored != (plan.rows + plan.chunk_rows - 1) / plan.chunk_rows) return None();
  return std::optional<ChunkPlan>(plan);
}

[[nodiscard]] SdkError damaged_chunk(std::string_view path, std::size_t row, const std::string& fault) {
  return SdkError{sdk_error::Hdf5{"dataset " + std::string(path) + ": the chunk at row " + std::to_string(row) + " " +
                                  fault}};
}

}  // namespace

template <class T>
Result<std::optional<layout::CellVector<T>>, SdkError> read_stored_chunks(hid_t dataset, std::string_view path,
                                                                          std::size_t count,
                                                                          std::uint64_t image_length) {
  using None = std::optional<layout::CellVector<T>>;
  const ErrorPrintingOff quiet;
  if constexpr (std::endian::native != std::endian::little) return None();
  QR_ASSIGN_OR_RETURN(const std::optional<ChunkPlan> found, chunk_plan(dataset, ElementType<T>::file(), sizeof(T)));
  if (!found || found->rows * found->row_bytes != count * sizeof(T)) return None();
  const ChunkPlan plan = *found;
  const std::size_t chunk_bytes = plan.chunk_rows * plan.row_bytes;
  const std::size_t stored_limit = codec::max_stored_size(chunk_bytes);
  const std::uint32_t skip_deflate = plan.filters == 2 ? codec::kSkipSecond : codec::kSkipFirst;
  const std::uint32_t known_bits = plan.filters == 2 ? codec::kSkipFirst | codec::kSkipSecond : codec::kSkipFirst;

  layout::CellVector<T> values(count);
  auto* out = reinterpret_cast<std::uint8_t*>(values.data());
  const std::size_t total = count * sizeof(T);
  const std::size_t window = codec::default_window();
  std::vector<std::vector<std::uint8_t>> stored(window);
  std::vector<std::size_t> sizes(window);
  std::vector<std::uint32_t> masks(window);

  codec::Steps steps;
  steps.count = (plan.rows + plan.chunk_rows - 1) / plan.chunk_rows;
  steps.window = window;
  steps.first = [&](std::size_t item, std::size_t slot) -> Status<SdkError> {
    const std::size_t row = item * plan.chunk_rows;
    const std::array<hsize_t, 2> offset = {row, 0};
    hsize_t size = 0;
    QR_TRY(check(H5Dget_chunk_storage_size(dataset, offset.data(), &size), "H5Dget_chunk_storage_size"));
    if (size > image_length)
      return fail(damaged_chunk(path, row, "keeps " + std::to_string(size) + " bytes, more than the file's " +
                                               std::to_string(image_length)));
    if (size > stored_limit)
      return fail(damaged_chunk(path, row, "keeps " + std::to_string(size) + " bytes, more than any chunk of " +
                                               std::to_string(chunk_bytes) + " bytes deflates to"));
    if (size == 0) return fail(damaged_chunk(path, row, "keeps no bytes"));
    std::vector<std::uint8_t>& bytes = stored[slot];
    if (bytes.size() < size) bytes.resize(static_cast<std::size_t>(size));
    std::uint32_t mask = 0;
    QR_TRY(check(H5Dread_chunk(dataset, H5P_DEFAULT, offset.data(), &mask, bytes.data()), "H5Dread_chunk"));
    if ((mask & ~known_bits) != 0)
      return fail(damaged_chunk(path, row, "has the filter mask " + std::to_string(mask) + ", for filters it lacks"));
    if ((mask & skip_deflate) != 0 && size != chunk_bytes)
      return fail(damaged_chunk(path, row, "is stored uncompressed in " + std::to_string(size) + " bytes, not " +
                                               std::to_string(chunk_bytes)));
    sizes[slot] = static_cast<std::size_t>(size);
    masks[slot] = mask;
    return {};
  };
  steps.middle = [&](std::size_t item, std::size_t slot, codec::Scratch& scratch) -> Status<SdkError> {
    const std::size_t begin = item * chunk_bytes;
    const std::size_t length = std::min(chunk_bytes, total - begin);
    const std::span<const std::uint8_t> bytes(stored[slot].data(), sizes[slot]);
    const bool unshuffle = plan.filters == 2 && (masks[slot] & codec::kSkipFirst) == 0;
    // Whole chunks are decoded in place; the last, partial one beside it.
    const std::span<std::uint8_t> target =
        length == chunk_bytes ? std::span<std::uint8_t>(out + begin, chunk_bytes) : scratch.buffer(chunk_bytes, 1);
    std::span<const std::uint8_t> plain = bytes;
    if ((masks[slot] & skip_deflate) == 0) {
      const std::span<std::uint8_t> inflated = unshuffle ? scratch.buffer(chunk_bytes, 0) : target;
      if (!scratch.inflate(bytes, inflated))
        return fail(damaged_chunk(path, item * plan.chunk_rows,
                                  "does not inflate to its " + std::to_string(chunk_bytes) + " bytes"));
      plain = inflated;
    }
    if (unshuffle)
      codec::unshuffle(plain, sizeof(T), target);
    else if (plain.data() != target.data())
      std::memcpy(target.data(), plain.data(), chunk_bytes);
    if (length != chunk_bytes) std::memcpy(out + begin, target.data(), length);
    return {};
  };
  QR_TRY(codec::run_in_order(steps));
  return None(std::move(values));
}

template Result<std::optional<layout::CellVector<std::uint8_t>>, SdkError> read_stored_chunks<std::uint8_t>(
    hid_t, std::string_view, std::size_t, std::uint64_t);
template Result<std::optional<layout::CellVector<std::uint32_t>>, SdkError> read_stored_chunks<std::uint32_t>(
    hid_t, std::string_view, std::size_t, std::uint64_t);
template Result<std::optional<layout::CellVector<std::uint64_t>>, SdkError> read_stored_chunks<std::uint64_t>(
    hid_t, std::string_view, std::size_t, std::uint64_t);
template Result<std::optional<layout::CellVector<std::int64_t>>, SdkError> read_stored_chunks<std::int64_t>(
    hid_t, std::string_view, std::size_t, std::uint64_t);
template Result<std::optional<layout::CellVector<float>>, SdkError> read_stored_chunks<float>(
    hid_t, std::string_view, std::size_t, std::uint64_t);
template Result<std::optional<layout::CellVector<double>>, SdkError> read_stored_chunks<double>(
    hid_t, std::string_view, std::size_t, std::uint64_t);

Result<AttributeShape, SdkError> attribute_shape(hid_t attribute) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Datatype type, take<Datatype>(H5Aget_type(attribute), "H5Aget_type"));
  QR_ASSIGN_OR_RETURN(Dataspace space, take<Dataspace>(H5Aget_space(attribute), "H5Aget_space"));
  AttributeShape shape;
  shape.type_class = H5Tget_class(type.get());
  if (shape.type_class == H5T_NO_CLASS) return fail(last_error("H5Tget_class"));
  shape.element_size = H5Tget_size(type.get());
  if (shape.element_size == 0) return fail(last_error("H5Tget_size"));
  const hssize_t count = H5Sget_simple_extent_npoints(space.get());
  if (count < 0) return fail(last_error("H5Sget_simple_extent_npoints"));
  shape.count = static_cast<std::uint64_t>(count);
  if (shape.type_class == H5T_STRING) {
    const htri_t variable = H5Tis_variable_str(type.get());
    if (variable < 0) return fail(last_error("H5Tis_variable_str"));
    shape.variable_string = variable > 0;
  }
  shape.file_element_size = shape.element_size;
  if (shape.variable_string) {
    // The type handed over is the in-memory one (a pointer); in the file
    // each string is its length, then an address and an index into a
    // global heap, in the file's width of addresses.
    QR_ASSIGN_OR_RETURN(File file, take<File>(H5Iget_file_id(attribute), "H5Iget_file_id"));
    QR_ASSIGN_OR_RETURN(PropList fcpl, take<PropList>(H5Fget_create_plist(file.get()), "H5Fget_create_plist"));
    std::size_t address_size = 0;
    QR_TRY(check(H5Pget_sizes(fcpl.get(), &address_size, nullptr), "H5Pget_sizes"));
    shape.file_element_size = 4 + address_size + 4;
  }
  shape.stored_bytes = H5Aget_storage_size(attribute);
  return shape;
}

namespace {

constexpr const char* kRawReferenceTag = "quillrun: variable-length string references as stored";
// The library keeps only the first 31 bytes of a conversion's name but
// unregisters by comparing the whole name: a longer one is never removed, and
// its table grows by one entry per registration.
constexpr std::string_view kKeepReferencesName = "quillrun: keep references";
static_assert(kKeepReferencesName.size() < 32);

// A soft conversion from variable-length strings to an opaque type of our
// tag that leaves the stored references (length, heap address, object
// index) as they are, so the reader can resolve them itself.
herr_t keep_references(hid_t src, hid_t dst, H5T_cdata_t* cdata, std::size_t, std::size_t, std::size_t, void*, void*,
                       hid_t) noexcept {
  switch (cdata->command) {
    case H5T_CONV_INIT: {
      if (H5Tget_class(src) != H5T_STRING || H5Tis_variable_str(src) <= 0 || H5Tget_class(dst) != H5T_OPAQUE)
        return -1;
      char* tag = H5Tget_tag(dst);
      const bool ours = tag != nullptr && std::string_view(tag) == kRawReferenceTag;
      H5free_memory(tag);
      if (!ours || H5Tget_size(src) != H5Tget_size(dst)) return -1;
      cdata->need_bkg = H5T_BKG_NO;
      return 0;
    }
    case H5T_CONV_CONV:  // source and destination are the same bytes
    case H5T_CONV_FREE: return 0;
  }
  return -1;
}

// The conversion is known to the library only while one of these lives.
class KeepReferences {
 public:
  KeepReferences(hid_t string_type, hid_t raw_type) noexcept : string_type_(string_type), raw_type_(raw_type) {
    registered_ =
        H5Tregister(H5T_PERS_SOFT, kKeepReferencesName.data(), string_type_, raw_type_, &keep_references) >= 0;
  }
  ~KeepReferences() {
    if (registered_)
      (void)H5Tunregister(H5T_PERS_SOFT, kKeepReferencesName.data(), string_type_, raw_type_, &keep_references);
  }
  KeepReferences(const KeepReferences&) = delete;
  KeepReferences& operator=(const KeepReferences&) = delete;
  [[nodiscard]] bool registered() const noexcept { return registered_; }

 private:
  hid_t string_type_;
  hid_t raw_type_;
  bool registered_ = false;
};

}  // namespace

Result<std::optional<std::vector<std::string>>, SdkError> read_variable_strings(hid_t attribute,
                                                                                std::string_view name,
                                                                                GlobalHeaps* heaps,
                                                                                std::size_t count) {
  const ErrorPrintingOff quiet;
  if (count == 0) return std::optional<std::vector<std::string>>(std::vector<std::string>());
  if (heaps == nullptr) return std::optional<std::vector<std::string>>();
  const std::size_t width = variable_reference_size(heaps->superblock());
  QR_ASSIGN_OR_RETURN(Datatype string_type, take<Datatype>(H5Tcopy(H5T_C_S1), "H5Tcopy"));
  QR_TRY(check(H5Tset_size(string_type.get(), H5T_VARIABLE), "H5Tset_size"));
  QR_ASSIGN_OR_RETURN(Datatype raw_type, take<Datatype>(H5Tcreate(H5T_OPAQUE, width), "H5Tcreate"));
  QR_TRY(check(H5Tset_tag(raw_type.get(), kRawReferenceTag), "H5Tset_tag"));
  const KeepReferences keep(string_type.get(), raw_type.get());
  if (!keep.registered()) return std::optional<std::vector<std::string>>();

  std::vector<std::uint8_t> raw(count * width);
  QR_TRY(check(H5Aread(attribute, raw_type.get(), raw.data()), "H5Aread"));
  QR_ASSIGN_OR_RETURN(std::vector<std::string> texts, heaps->resolve(raw, count, name));
  return std::optional<std::vector<std::string>>(std::move(texts));
}

}  // namespace quillrun::h5
