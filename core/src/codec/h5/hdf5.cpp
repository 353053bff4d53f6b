#include "codec/h5/hdf5.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

#include "base/pages.hpp"
#include "codec/h5/checked.hpp"
#include "codec/h5/chunk_codec.hpp"

namespace quillrun::h5 {

using detail::check;
using detail::check_tri;
using detail::take;

namespace {

// A fork takes the lock, so that it waits for the read or write in progress
// (and those of the threads already waiting for the lock): the child finds
// the library between calls, nothing it was doing cut in half, and the lock
// free. Nothing done under the lock waits for Python's lock or another lock
// of ours, so a fork from a thread that holds those cannot deadlock here.
class LibraryLock {
 public:
  LibraryLock() noexcept { (void)pthread_atfork(&prepare, &release, &release); }

  std::mutex mutex;

 private:
  static void prepare() noexcept { library_mutex().lock(); }
  // The child's one thread is the forking thread, which took the lock.
  static void release() noexcept { library_mutex().unlock(); }
};

}  // namespace

std::mutex& library_mutex() noexcept {
  static LibraryLock lock;
  return lock.mutex;
}

namespace {

[[nodiscard]] SdkError hdf5_error(std::string text) { return SdkError{sdk_error::Hdf5{std::move(text)}}; }

[[nodiscard]] Result<PropList, SdkError> create_plist(hid_t cls) {
  return take<PropList>(H5Pcreate(cls), "H5Pcreate");
}

[[nodiscard]] H5_index_t index_of(Order order) noexcept {
  return order == Order::ByCreation ? H5_INDEX_CRT_ORDER : H5_INDEX_NAME;
}

// Creation order is tracked so that readers list members and attributes in
// the order written; modification times are not stored, so one trace always
// gives the same bytes.
[[nodiscard]] Status<SdkError> set_object_creation(hid_t ocpl) {
  QR_TRY(check(H5Pset_attr_creation_order(ocpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED),
               "H5Pset_attr_creation_order"));
  return check(H5Pset_obj_track_times(ocpl, false), "H5Pset_obj_track_times");
}

[[nodiscard]] Status<SdkError> set_group_creation(hid_t gcpl) {
  QR_TRY(set_object_creation(gcpl));
  return check(H5Pset_link_creation_order(gcpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED),
               "H5Pset_link_creation_order");
}

[[nodiscard]] Result<PropList, SdkError> utf8_link_creation() {
  QR_ASSIGN_OR_RETURN(PropList lcpl, create_plist(H5P_LINK_CREATE));
  QR_TRY(check(H5Pset_char_encoding(lcpl.get(), H5T_CSET_UTF8), "H5Pset_char_encoding"));
  return lcpl;
}

[[nodiscard]] Result<Datatype, SdkError> utf8_string_type(std::size_t size) {
  QR_ASSIGN_OR_RETURN(Datatype type, take<Datatype>(H5Tcopy(H5T_C_S1), "H5Tcopy"));
  QR_TRY(check(H5Tset_size(type.get(), size), "H5Tset_size"));
  QR_TRY(check(H5Tset_cset(type.get(), H5T_CSET_UTF8), "H5Tset_cset"));
  return type;
}

[[nodiscard]] Result<Dataspace, SdkError> scalar_space() {
  return take<Dataspace>(H5Screate(H5S_SCALAR), "H5Screate");
}

[[nodiscard]] Result<Attribute, SdkError> create_attribute(hid_t object, std::string_view name, hid_t type,
                                                           hid_t space) {
  return take<Attribute>(H5Acreate2(object, std::string(name).c_str(), type, space, H5P_DEFAULT, H5P_DEFAULT),
                         "H5Acreate2");
}

// The core driver probes the name with open() when it opens an image and
// refuses one that exists, and HDF5 takes two open files of one name for the
// same file. A path under /dev/null can never exist, so no file is ever
// touched, and the owner's address keeps images that are open at once apart.
[[nodiscard]] std::string image_name(std::string_view role, const void* owner) {
  std::string name = "/dev/null/quillrun-";
  name += role;
  name += '-';
  name += std::to_string(reinterpret_cast<std::uintptr_t>(owner));
  return name;
}

// Memory grows in steps of this size while an image is written.
constexpr std::size_t kCoreIncrement = std::size_t{1} << 20;

void* udata_copy(void* udata) noexcept { return udata; }
herr_t udata_free(void*) noexcept { return 0; }

// The core driver's memory callbacks served by `owner`'s static functions;
// the owner is shared, not copied, with every use the driver makes of it.
template <class Owner>
[[nodiscard]] H5FD_file_image_callbacks_t image_callbacks(Owner* owner) noexcept {
  H5FD_file_image_callbacks_t callbacks{};
  callbacks.image_malloc = &Owner::malloc;
  callbacks.image_memcpy = &Owner::memcpy;
  callbacks.image_realloc = &Owner::realloc;
  callbacks.image_free = &Owner::free;
  callbacks.udata_copy = &udata_copy;
  callbacks.udata_free = &udata_free;
  callbacks.udata = owner;
  return callbacks;
}

}  // namespace

// ---------------------------------------------------------------------------
// Memory

// The budget lives in the library (scripts/hdf5-patches/h5mm-memory-budget.patch),
// which counts its own allocations; a library without it has no budget.
#ifdef H5MM_HAS_BUDGET

namespace {

[[nodiscard]] H5MM_budget_t budget_state() noexcept {
  H5MM_budget_t state{};
  H5MMget_budget(&state);
  return state;
}

// How far past the limit the library's small allocations (IDs, names, small
// structures) may go: work in which a large allocation was refused is then
// undone, through the library's least tried paths, without failing again.
constexpr std::size_t kBookkeepingReserve = std::size_t{16} << 20;

[[nodiscard]] std::size_t to_size(std::uint64_t bytes) noexcept {
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes, std::numeric_limits<std::size_t>::max()));
}

}  // namespace

MemoryBudget::MemoryBudget(std::uint64_t limit) noexcept {
  H5MM_budget_t state{};
  state.limit = std::max<std::size_t>(to_size(limit), 1);  // 0 would count nothing
  state.reserve = kBookkeepingReserve;
  H5MMset_budget(&state);
}

MemoryBudget::~MemoryBudget() {
  // What a refused read freed into the library's free lists goes back to the
  // system, and counts as given back.
  if (budget_state().refused) (void)H5garbage_collect();
  H5MM_budget_t state = budget_state();
  state.limit = 0;  // the counts stay readable until the next budget
  H5MMset_budget(&state);
}

bool MemoryBudget::refused() noexcept { return budget_state().refused; }
std::uint64_t MemoryBudget::peak() noexcept { return budget_state().peak; }
std::int64_t MemoryBudget::held() noexcept { return budget_state().held; }

MemoryBudget::Extension::Extension(std::uint64_t extra) noexcept {
  H5MM_budget_t state = budget_state();
  saved_limit_ = state.limit;
  if (state.limit == 0) return;  // no budget running
  state.limit += to_size(std::min<std::uint64_t>(extra, std::numeric_limits<std::size_t>::max() - state.limit));
  H5MMset_budget(&state);
}

MemoryBudget::Extension::~Extension() {
  H5MM_budget_t state = budget_state();
  if (state.limit == 0) return;
  state.limit = static_cast<std::size_t>(saved_limit_);
  H5MMset_budget(&state);
}

#else

MemoryBudget::MemoryBudget(std::uint64_t) noexcept {}
MemoryBudget::~MemoryBudget() = default;
bool MemoryBudget::refused() noexcept { return false; }
std::uint64_t MemoryBudget::peak() noexcept { return 0; }
std::int64_t MemoryBudget::held() noexcept { return 0; }
MemoryBudget::Extension::Extension(std::uint64_t) noexcept {}
MemoryBudget::Extension::~Extension() = default;

#endif

// ---------------------------------------------------------------------------
// Errors

void close_quietly(herr_t (*close)(hid_t), hid_t id) noexcept {
  const ErrorPrintingOff quiet;
  // Closing gives memory back; a close whose allocation were refused would
  // leave the object, and with a file everything in it, open for good.
  const MemoryBudget::Extension closing(std::numeric_limits<std::uint64_t>::max());
  (void)close(id);
}

ErrorPrintingOff::ErrorPrintingOff() noexcept {
  restore_ = H5Eget_auto2(H5E_DEFAULT, &saved_func_, &saved_data_) >= 0;
  if (restore_) (void)H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

ErrorPrintingOff::~ErrorPrintingOff() {
  if (restore_) (void)H5Eset_auto2(H5E_DEFAULT, saved_func_, saved_data_);
}

namespace {

herr_t take_innermost(unsigned, const H5E_error2_t* entry, void* data) noexcept {
  if (entry->desc == nullptr || entry->desc[0] == '\0') return 0;
  *static_cast<std::string*>(data) = entry->desc;
  return 1;  // the first description upwards is the most specific
}

}  // namespace

SdkError last_error(std::string_view call) {
  std::string text;
  (void)H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, &take_innermost, &text);
  (void)H5Eclear2(H5E_DEFAULT);
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty()) {
    text = call;
    text += " failed";
  }
  return hdf5_error(std::move(text));
}

// ---------------------------------------------------------------------------
// Writing an image

// The core driver allocates the file's memory through these callbacks, so the
// buffer it frees at close can be kept: that is the finished file. (Asking an
// open file for its image instead gives, with HDF5 1.10 and version-2
// superblocks, a superblock whose checksum is wrong.) The file's buffer is
// made of whole pages, so that it grows without a copy and can be given back
// piece by piece once the caller copies it out.
struct NewImage::Capture {
  void* live = nullptr;  // the driver's buffer while the file is open
  std::size_t live_size = 0;
  void* closed = nullptr;  // the buffer handed back at close
  std::size_t closed_size = 0;

  Capture() = default;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  ~Capture() {
    pages::release(live, live_size, 0, live_size);
    pages::release(closed, closed_size, 0, closed_size);
  }

  static Capture& of(void* udata) noexcept { return *static_cast<Capture*>(udata); }

  static void* malloc(std::size_t size, H5FD_file_image_op_t op, void* udata) noexcept {
    Capture& capture = of(udata);
    if (op != H5FD_FILE_IMAGE_OP_FILE_OPEN || capture.live != nullptr) return std::malloc(size);
    capture.live = pages::allocate(size);
    capture.live_size = capture.live == nullptr ? 0 : size;
    return capture.live;
  }
  static void* memcpy(void* dest, const void* src, std::size_t size, H5FD_file_image_op_t, void*) noexcept {
    return std::memcpy(dest, src, size);
  }
  static void* realloc(void* block, std::size_t size, H5FD_file_image_op_t op, void* udata) noexcept {
    Capture& capture = of(udata);
    const bool file = block == nullptr ? op == H5FD_FILE_IMAGE_OP_FILE_RESIZE && capture.live == nullptr
                                       : block == capture.live;
    if (!file) return std::realloc(block, size);
    void* grown = pages::resize(block, capture.live_size, size);
    if (grown != nullptr) {
      capture.live = grown;
      capture.live_size = size;
    }
    return grown;
  }
  static herr_t free(void* block, H5FD_file_image_op_t op, void* udata) noexcept {
    Capture& capture = of(udata);
    if (block == nullptr || block != capture.live) {
      std::free(block);
      return 0;
    }
    if (op == H5FD_FILE_IMAGE_OP_FILE_CLOSE) {
      pages::release(capture.closed, capture.closed_size, 0, capture.closed_size);
      capture.closed = block;
      capture.closed_size = capture.live_size;
    } else {
      pages::release(block, capture.live_size, 0, capture.live_size);
    }
    capture.live = nullptr;
    capture.live_size = 0;
    return 0;
  }
};

NewImage::NewImage(std::unique_ptr<Capture> capture, File file) noexcept
    : capture_(std::move(capture)), file_(std::move(file)) {}
NewImage::NewImage(NewImage&&) noexcept = default;
NewImage& NewImage::operator=(NewImage&& other) noexcept {
  if (this != &other) {
    file_.reset();  // the open file refers to its capture
    capture_ = std::move(other.capture_);
    file_ = std::move(other.file_);
  }
  return *this;
}
NewImage::~NewImage() { file_.reset(); }

Result<NewImage, SdkError> NewImage::create() {
  const ErrorPrintingOff quiet;
  auto capture = std::make_unique<Capture>();

  QR_ASSIGN_OR_RETURN(PropList fapl, create_plist(H5P_FILE_ACCESS));
  QR_TRY(check(H5Pset_fapl_core(fapl.get(), kCoreIncrement, false), "H5Pset_fapl_core"));
  QR_TRY(check(H5Pset_libver_bounds(fapl.get(), H5F_LIBVER_V18, H5F_LIBVER_V110), "H5Pset_libver_bounds"));
  // Closing the file closes everything in it, so the image is final at close.
  QR_TRY(check(H5Pset_fclose_degree(fapl.get(), H5F_CLOSE_STRONG), "H5Pset_fclose_degree"));
  H5FD_file_image_callbacks_t callbacks = image_callbacks(capture.get());
  QR_TRY(check(H5Pset_file_image_callbacks(fapl.get(), &callbacks), "H5Pset_file_image_callbacks"));

  QR_ASSIGN_OR_RETURN(PropList fcpl, create_plist(H5P_FILE_CREATE));
  QR_TRY(set_group_creation(fcpl.get()));

  const std::string name = image_name("write", capture.get());
  QR_ASSIGN_OR_RETURN(File file, take<File>(H5Fcreate(name.c_str(), H5F_ACC_EXCL, fcpl.get(), fapl.get()),
                                            "H5Fcreate"));
  return NewImage(std::move(capture), std::move(file));
}

Result<Image, SdkError> NewImage::finish() && {
  const ErrorPrintingOff quiet;
  QR_TRY(check(H5Fflush(file_.get(), H5F_SCOPE_GLOBAL), "H5Fflush"));
  const ssize_t size = H5Fget_file_image(file_.get(), nullptr, 0);
  if (size < 0) return fail(last_error("H5Fget_file_image"));
  QR_TRY(check(H5Fclose(file_.release()), "H5Fclose"));
  const auto length = static_cast<std::size_t>(size);
  if (capture_->closed == nullptr || capture_->closed_size < length)
    return fail(hdf5_error("the file's memory was not handed back when it closed"));
  return Image::adopt(std::exchange(capture_->closed, nullptr), std::exchange(capture_->closed_size, 0), length);
}

// ---------------------------------------------------------------------------
// Opening an image

// Lends the caller's bytes to the property lists and the core driver without
// copying them: every "allocation" of the image returns the borrowed bytes,
// every "copy" is a no-op, and nothing is freed. The file is read-only, so
// the driver never writes to them or resizes them.
struct OpenImage::Borrowed {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;

  static Borrowed& of(void* udata) noexcept { return *static_cast<Borrowed*>(udata); }

  static void* malloc(std::size_t size, H5FD_file_image_op_t op, void* udata) noexcept {
    const Borrowed& self = of(udata);
    const bool lends = op == H5FD_FILE_IMAGE_OP_PROPERTY_LIST_SET || op == H5FD_FILE_IMAGE_OP_PROPERTY_LIST_COPY ||
                       op == H5FD_FILE_IMAGE_OP_FILE_OPEN;
    if (!lends || size != self.size) return nullptr;
    return const_cast<std::uint8_t*>(self.data);
  }
  static void* memcpy(void* dest, const void* src, std::size_t size, H5FD_file_image_op_t, void*) noexcept {
    if (dest != src) std::memcpy(dest, src, size);
    return dest;
  }
  static void* realloc(void*, std::size_t, H5FD_file_image_op_t, void*) noexcept { return nullptr; }
  static herr_t free(void*, H5FD_file_image_op_t, void*) noexcept { return 0; }
};

OpenImage::OpenImage(std::unique_ptr<Borrowed> borrowed, File file) noexcept
    : borrowed_(std::move(borrowed)), file_(std::move(file)) {}
OpenImage::OpenImage(OpenImage&&) noexcept = default;
OpenImage& OpenImage::operator=(OpenImage&& other) noexcept {
  if (this != &other) {
    file_.reset();
    borrowed_ = std::move(other.borrowed_);
    file_ = std::move(other.file_);
  }
  return *this;
}
OpenImage::~OpenImage() { file_.reset(); }

std::uint64_t OpenImage::size() const noexcept { return borrowed_ ? borrowed_->size : 0; }

Result<OpenImage, SdkError> OpenImage::open(std::span<const std::uint8_t> bytes) {
  const ErrorPrintingOff quiet;
  auto borrowed = std::make_unique<Borrowed>();
  borrowed->data = bytes.data();
  borrowed->size = bytes.size();

  QR_ASSIGN_OR_RETURN(PropList fapl, create_plist(H5P_FILE_ACCESS));
  QR_TRY(check(H5Pset_fapl_core(fapl.get(), kCoreIncrement, false), "H5Pset_fapl_core"));
  // Nothing outlives the file: no object keeps it, or the bytes, in use.
  QR_TRY(check(H5Pset_fclose_degree(fapl.get(), H5F_CLOSE_STRONG), "H5Pset_fclose_degree"));
  if (!bytes.empty()) {
    H5FD_file_image_callbacks_t callbacks = image_callbacks(borrowed.get());
    QR_TRY(check(H5Pset_file_image_callbacks(fapl.get(), &callbacks), "H5Pset_file_image_callbacks"));
    QR_TRY(check(H5Pset_file_image(fapl.get(), const_cast<std::uint8_t*>(bytes.data()), bytes.size()),
                 "H5Pset_file_image"));
  }
  const std::string name = image_name("read", borrowed.get());
  QR_ASSIGN_OR_RETURN(File file, take<File>(H5Fopen(name.c_str(), H5F_ACC_RDONLY, fapl.get()), "H5Fopen"));
  return OpenImage(std::move(borrowed), std::move(file));
}

// ---------------------------------------------------------------------------
// Groups

Result<Group, SdkError> open_root(hid_t file) {
  const ErrorPrintingOff quiet;
  return take<Group>(H5Gopen2(file, "/", H5P_DEFAULT), "H5Gopen2");
}

Result<Group, SdkError> create_group(hid_t parent, std::string_view name) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(PropList lcpl, utf8_link_creation());
  QR_ASSIGN_OR_RETURN(PropList gcpl, create_plist(H5P_GROUP_CREATE));
  QR_TRY(set_group_creation(gcpl.get()));
  return take<Group>(H5Gcreate2(parent, std::string(name).c_str(), lcpl.get(), gcpl.get(), H5P_DEFAULT),
                     "H5Gcreate2");
}

Result<Group, SdkError> open_group(hid_t parent, std::string_view name) {
  const ErrorPrintingOff quiet;
  return take<Group>(H5Gopen2(parent, std::string(name).c_str(), H5P_DEFAULT), "H5Gopen2");
}

Result<bool, SdkError> has_member(hid_t parent, std::string_view name) {
  const ErrorPrintingOff quiet;
  return check_tri(H5Lexists(parent, std::string(name).c_str(), H5P_DEFAULT), "H5Lexists");
}

Result<std::optional<Group>, SdkError> open_optional_group(hid_t parent, std::string_view name) {
  QR_ASSIGN_OR_RETURN(const bool exists, has_member(parent, name));
  if (!exists) return std::optional<Group>();
  QR_ASSIGN_OR_RETURN(Group group, open_group(parent, name));
  return std::optional<Group>(std::move(group));
}

// ---------------------------------------------------------------------------
// Datasets

namespace {

// The bytes of rows [begin, end): a view of cells already in memory, or
// `room` (sized to those rows) filled with them.
using ChunkSource =
    std::function<std::span<const std::uint8_t>(std::size_t begin, std::size_t end, std::span<std::uint8_t> room)>;

// Writes `rows` rows chunk by chunk, each coded as the dataset's filters
// would code it: a last partial chunk padded with zeros (the default fill
// value) to its full size, a chunk that deflate does not shrink kept
// shuffled but uncompressed, with deflate marked skipped in its filter mask.
Status<SdkError> write_chunks(hid_t dataset, std::size_t rows, const ChunkSource& source, std::size_t element_size,
                              std::size_t row_bytes, std::size_t chunk_rows, bool shuffle) {
  const std::size_t chunk_bytes = chunk_rows * row_bytes;
  const std::size_t window = codec::default_window();
  std::vector<std::vector<std::uint8_t>> stored(window);
  std::vector<std::size_t> sizes(window);
  std::vector<std::uint32_t> masks(window);

  codec::Steps steps;
  steps.count = (rows + chunk_rows - 1) / chunk_rows;
  steps.window = window;
  steps.middle = [&](std::size_t item, std::size_t slot, codec::Scratch& scratch) -> Status<SdkError> {
    const std::size_t begin = item * chunk_rows;
    const std::size_t count = std::min(chunk_rows, rows - begin);
    const std::size_t length = count * row_bytes;
    const std::span<std::uint8_t> room = scratch.buffer(chunk_bytes, 0);
    std::span<const std::uint8_t> chunk = source(begin, begin + count, room.first(length));
    if (length < chunk_bytes) {
      if (chunk.data() != room.data()) std::memcpy(room.data(), chunk.data(), length);
      std::memset(room.data() + length, 0, chunk_bytes - length);
      chunk = room;
    }
    if (shuffle) {
      const std::span<std::uint8_t> planes = scratch.buffer(chunk_bytes, 1);
      codec::shuffle(chunk, element_size, planes);
      chunk = planes;
    }
    std::vector<std::uint8_t>& out = stored[slot];
    if (out.size() < chunk_bytes) out.resize(chunk_bytes);
    if (const std::optional<std::size_t> size = scratch.deflate(chunk, out)) {
      sizes[slot] = *size;
      masks[slot] = 0;
    } else {
      std::memcpy(out.data(), chunk.data(), chunk_bytes);
      sizes[slot] = chunk_bytes;
      masks[slot] = shuffle ? codec::kSkipSecond : codec::kSkipFirst;
    }
    return {};
  };
  steps.last = [&](std::size_t item, std::size_t slot) -> Status<SdkError> {
    const std::array<hsize_t, 2> offset = {item * chunk_rows, 0};
    return check(H5Dwrite_chunk(dataset, H5P_DEFAULT, masks[slot], offset.data(), sizes[slot], stored[slot].data()),
                 "H5Dwrite_chunk");
  };
  return codec::run_in_order(steps);
}

struct Shape {
  std::vector<hsize_t> dims;
  std::vector<hsize_t> max_dims;
  std::vector<hsize_t> chunk;
  std::uint64_t elements = 1;

  // Chunks that span whole rows are coded by the core and stored as they are.
  [[nodiscard]] bool coded_here(const DatasetOptions& options) const noexcept {
    const std::size_t rank = dims.size();
    const bool whole_rows = rank == 1 || (rank == 2 && chunk[1] == dims[1]);
    return std::endian::native == std::endian::little && options.deflate_level == codec::kDeflateLevel &&
           whole_rows && chunk[0] > 0 && dims[rank - 1] > 0;
  }
  [[nodiscard]] std::size_t rows() const noexcept { return static_cast<std::size_t>(dims[0]); }
  [[nodiscard]] std::size_t row_elements() const noexcept {
    return dims.size() == 1 ? 1 : static_cast<std::size_t>(dims[1]);
  }
};

Result<Shape, SdkError> shape_of(std::string_view name, const DatasetOptions& options) {
  const std::size_t rank = options.dims.size();
  if (rank == 0 || rank > H5S_MAX_RANK || options.chunk.size() != rank)
    return fail(hdf5_error("dataset " + std::string(name) + ": chunk and extent differ in rank"));
  Shape shape;
  shape.dims.resize(rank);
  shape.max_dims.resize(rank);
  shape.chunk.resize(rank);
  for (std::size_t i = 0; i < rank; ++i) {
    shape.dims[i] = options.dims[i];
    shape.max_dims[i] = (i == 0 && options.unlimited_rows) ? H5S_UNLIMITED : shape.dims[i];
    shape.chunk[i] = options.chunk[i];
    if (shape.dims[i] != 0 && shape.elements > std::numeric_limits<std::uint64_t>::max() / shape.dims[i])
      return fail(hdf5_error("dataset " + std::string(name) + ": extent overflows"));
    shape.elements *= shape.dims[i];
  }
  return shape;
}

template <class T>
Result<Dataset, SdkError> create_dataset(hid_t parent, std::string_view name, const Shape& shape,
                                         const DatasetOptions& options) {
  const int rank = static_cast<int>(shape.dims.size());
  QR_ASSIGN_OR_RETURN(Dataspace space, take<Dataspace>(H5Screate_simple(rank, shape.dims.data(),
                                                                         shape.max_dims.data()),
                                                        "H5Screate_simple"));
  QR_ASSIGN_OR_RETURN(PropList dcpl, create_plist(H5P_DATASET_CREATE));
  QR_TRY(check(H5Pset_chunk(dcpl.get(), rank, shape.chunk.data()), "H5Pset_chunk"));
  if (options.shuffle) QR_TRY(check(H5Pset_shuffle(dcpl.get()), "H5Pset_shuffle"));
  if (options.deflate_level > 0) QR_TRY(check(H5Pset_deflate(dcpl.get(), options.deflate_level), "H5Pset_deflate"));
  QR_TRY(set_object_creation(dcpl.get()));
  QR_ASSIGN_OR_RETURN(PropList lcpl, utf8_link_creation());
  return take<Dataset>(H5Dcreate2(parent, std::string(name).c_str(), ElementType<T>::file(), space.get(), lcpl.get(),
                                  dcpl.get(), H5P_DEFAULT),
                       "H5Dcreate2");
}

template <class T>
Status<SdkError> write_coded(hid_t dataset, const Shape& shape, const DatasetOptions& options,
                             const ChunkSource& source) {
  return write_chunks(dataset, shape.rows(), source, sizeof(T), shape.row_elements() * sizeof(T),
                      static_cast<std::size_t>(shape.chunk[0]), options.shuffle);
}

}  // namespace

template <class T>
Result<Dataset, SdkError> write_dataset(hid_t parent, std::string_view name, std::span<const T> data,
                                        const DatasetOptions& options) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Shape shape, shape_of(name, options));
  // The library reads exactly the extent's worth of elements from `data`.
  if (shape.elements != data.size())
    return fail(hdf5_error("dataset " + std::string(name) + ": " + std::to_string(data.size()) +
                           " values for an extent of " + std::to_string(shape.elements)));
  QR_ASSIGN_OR_RETURN(Dataset dataset, create_dataset<T>(parent, name, shape, options));
  if (data.empty()) return dataset;
  if (shape.coded_here(options)) {
    const std::size_t row_bytes = shape.row_elements() * sizeof(T);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    QR_TRY(write_coded<T>(dataset.get(), shape, options,
                          [&](std::size_t begin, std::size_t end, std::span<std::uint8_t>) {
                            return std::span<const std::uint8_t>(bytes + begin * row_bytes, (end - begin) * row_bytes);
                          }));
    return dataset;
  }
  QR_TRY(check(H5Dwrite(dataset.get(), ElementType<T>::memory(), H5S_ALL, H5S_ALL, H5P_DEFAULT, data.data()),
               "H5Dwrite"));
  return dataset;
}

template <class T>
Result<Dataset, SdkError> write_dataset_rows(hid_t parent, std::string_view name, const FillRows<T>& fill,
                                             const DatasetOptions& options) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Shape shape, shape_of(name, options));
  QR_ASSIGN_OR_RETURN(Dataset dataset, create_dataset<T>(parent, name, shape, options));
  if (shape.elements == 0) return dataset;
  const std::size_t row_elements = shape.row_elements();
  if (shape.coded_here(options)) {
    // The pool's buffers come from operator new, aligned for any cell type.
    QR_TRY(write_coded<T>(dataset.get(), shape, options,
                          [&](std::size_t begin, std::size_t end, std::span<std::uint8_t> room) {
                            fill(begin, end, std::span<T>(reinterpret_cast<T*>(room.data()),
                                                          (end - begin) * row_elements));
                            return std::span<const std::uint8_t>(room);
                          }));
    return dataset;
  }
  std::vector<T> cells(static_cast<std::size_t>(shape.elements));
  fill(0, shape.rows(), cells);
  QR_TRY(check(H5Dwrite(dataset.get(), ElementType<T>::memory(), H5S_ALL, H5S_ALL, H5P_DEFAULT, cells.data()),
               "H5Dwrite"));
  return dataset;
}

Result<Dataset, SdkError> open_dataset(hid_t parent, std::string_view name) {
  const ErrorPrintingOff quiet;
  return take<Dataset>(H5Dopen2(parent, std::string(name).c_str(), H5P_DEFAULT), "H5Dopen2");
}

Result<std::optional<Dataset>, SdkError> open_optional_dataset(hid_t parent, std::string_view name) {
  QR_ASSIGN_OR_RETURN(const bool exists, has_member(parent, name));
  if (!exists) return std::optional<Dataset>();
  QR_ASSIGN_OR_RETURN(Dataset dataset, open_dataset(parent, name));
  return std::optional<Dataset>(std::move(dataset));
}

#define QR_H5_INSTANTIATE(T)                                                                                \
  template Result<Dataset, SdkError> write_dataset<T>(hid_t, std::string_view, std::span<const T>,         \
                                                      const DatasetOptions&);                              \
  template Result<Dataset, SdkError> write_dataset_rows<T>(hid_t, std::string_view, const FillRows<T>&,    \
                                                           const DatasetOptions&);
QR_H5_INSTANTIATE(std::uint8_t)
QR_H5_INSTANTIATE(std::uint32_t)
QR_H5_INSTANTIATE(std::uint64_t)
QR_H5_INSTANTIATE(std::int64_t)
QR_H5_INSTANTIATE(float)
QR_H5_INSTANTIATE(double)
#undef QR_H5_INSTANTIATE

// ---------------------------------------------------------------------------
// Attributes

Status<SdkError> write_text_attribute(hid_t object, std::string_view name, std::string_view value) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Dataspace space, scalar_space());
  if (value.find('\0') != std::string_view::npos) {
    QR_ASSIGN_OR_RETURN(Datatype type, utf8_string_type(value.size()));
    QR_TRY(check(H5Tset_strpad(type.get(), H5T_STR_NULLPAD), "H5Tset_strpad"));
    QR_ASSIGN_OR_RETURN(Attribute attribute, create_attribute(object, name, type.get(), space.get()));
    return check(H5Awrite(attribute.get(), type.get(), value.data()), "H5Awrite");
  }
  QR_ASSIGN_OR_RETURN(Datatype type, utf8_string_type(H5T_VARIABLE));
  QR_ASSIGN_OR_RETURN(Attribute attribute, create_attribute(object, name, type.get(), space.get()));
  const std::string text(value);
  const char* pointer = text.c_str();
  return check(H5Awrite(attribute.get(), type.get(), &pointer), "H5Awrite");
}

Status<SdkError> write_float_attribute(hid_t object, std::string_view name, double value) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Dataspace space, scalar_space());
  QR_ASSIGN_OR_RETURN(Attribute attribute, create_attribute(object, name, H5T_IEEE_F64LE, space.get()));
  return check(H5Awrite(attribute.get(), H5T_NATIVE_DOUBLE, &value), "H5Awrite");
}

Status<SdkError> write_text_list_attribute(hid_t object, std::string_view name, std::span<const std::string> values) {
  const ErrorPrintingOff quiet;
  const hsize_t count = values.size();
  QR_ASSIGN_OR_RETURN(Dataspace space, take<Dataspace>(H5Screate_simple(1, &count, nullptr), "H5Screate_simple"));
  QR_ASSIGN_OR_RETURN(Datatype type, utf8_string_type(H5T_VARIABLE));
  QR_ASSIGN_OR_RETURN(Attribute attribute, create_attribute(object, name, type.get(), space.get()));
  if (values.empty()) return {};
  std::vector<const char*> pointers;
  pointers.reserve(values.size());
  for (const std::string& value : values) pointers.push_back(value.c_str());
  return check(H5Awrite(attribute.get(), type.get(), pointers.data()), "H5Awrite");
}

Result<Attribute, SdkError> open_attribute(hid_t object, std::string_view name) {
  const ErrorPrintingOff quiet;
  return take<Attribute>(H5Aopen(object, std::string(name).c_str(), H5P_DEFAULT), "H5Aopen");
}

namespace {

herr_t collect_attribute_name(hid_t, const char* name, const H5A_info_t*, void* data) noexcept {
  static_cast<std::vector<std::string>*>(data)->emplace_back(name);
  return 0;
}

// Frees the strings the library allocated for a variable-length read.
[[nodiscard]] Status<SdkError> reclaim_strings(hid_t type, hid_t space, void* buffer) {
  return check(H5Treclaim(type, space, H5P_DEFAULT, buffer), "H5Treclaim");
}

[[nodiscard]] Result<std::vector<std::string>, SdkError> read_strings(hid_t attribute, hid_t file_type, hid_t space,
                                                                      std::size_t count) {
  std::vector<std::string> texts;
  texts.reserve(count);
  QR_ASSIGN_OR_RETURN(const bool variable, check_tri(H5Tis_variable_str(file_type), "H5Tis_variable_str"));
  if (variable) {
    QR_ASSIGN_OR_RETURN(Datatype memory, utf8_string_type(H5T_VARIABLE));
    const H5T_cset_t cset = H5Tget_cset(file_type);
    if (cset < 0) return fail(last_error("H5Tget_cset"));
    QR_TRY(check(H5Tset_cset(memory.get(), cset), "H5Tset_cset"));
    std::vector<char*> pointers(count, nullptr);
    QR_TRY(check(H5Aread(attribute, memory.get(), pointers.data()), "H5Aread"));
    for (const char* p : pointers) texts.emplace_back(p == nullptr ? "" : p);
    QR_TRY(reclaim_strings(memory.get(), space, pointers.data()));
    return texts;
  }
  const std::size_t size = H5Tget_size(file_type);
  if (size == 0) return fail(last_error("H5Tget_size"));
  const H5T_str_t pad = H5Tget_strpad(file_type);
  if (pad < 0) return fail(last_error("H5Tget_strpad"));
  QR_ASSIGN_OR_RETURN(Datatype memory, take<Datatype>(H5Tcopy(file_type), "H5Tcopy"));
  std::vector<char> buffer(count * size);
  QR_TRY(check(H5Aread(attribute, memory.get(), buffer.data()), "H5Aread"));
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view cell(buffer.data() + i * size, size);
    if (pad == H5T_STR_NULLTERM) {
      cell = cell.substr(0, cell.find('\0'));
    } else {
      const char padding = pad == H5T_STR_SPACEPAD ? ' ' : '\0';
      const std::size_t end = cell.find_last_not_of(padding);
      cell = cell.substr(0, end == std::string_view::npos ? 0 : end + 1);
    }
    texts.emplace_back(cell);
  }
  return texts;
}

}  // namespace

Result<std::vector<std::string>, SdkError> list_attributes(hid_t object, Order order) {
  const ErrorPrintingOff quiet;
  std::vector<std::string> names;
  QR_TRY(check(H5Aiterate2(object, index_of(order), H5_ITER_INC, nullptr, &collect_attribute_name, &names),
               "H5Aiterate2"));
  return names;
}

Result<AttributeValue, SdkError> read_attribute(hid_t attribute) {
  const ErrorPrintingOff quiet;
  QR_ASSIGN_OR_RETURN(Datatype type, take<Datatype>(H5Aget_type(attribute), "H5Aget_type"));
  QR_ASSIGN_OR_RETURN(Dataspace space, take<Dataspace>(H5Aget_space(attribute), "H5Aget_space"));
  const H5T_class_t type_class = H5Tget_class(type.get());
  if (type_class == H5T_NO_CLASS) return fail(last_error("H5Tget_class"));
  // Held as an int: a library without the check of the class byte hands a
  // file's value back as it is, which the enum may not hold.
  const int space_class = H5Sget_simple_extent_type(space.get());
  if (space_class == H5S_NO_CLASS) return fail(last_error("H5Sget_simple_extent_type"));
  const hssize_t count = H5Sget_simple_extent_npoints(space.get());
  if (count < 0) return fail(last_error("H5Sget_simple_extent_npoints"));

  AttributeValue value;
  value.scalar = space_class == H5S_SCALAR;
  value.count = static_cast<std::uint64_t>(count);
  const auto elements = static_cast<std::size_t>(count);
  if (type_class == H5T_STRING) {
    value.kind = AttributeValue::Kind::Text;
    if (elements > 0) {
      QR_ASSIGN_OR_RETURN(value.texts, read_strings(attribute, type.get(), space.get(), elements));
    }
  } else if (type_class == H5T_FLOAT) {
    value.kind = AttributeValue::Kind::Float;
    value.floats.resize(elements);
    if (elements > 0) QR_TRY(check(H5Aread(attribute, H5T_NATIVE_DOUBLE, value.floats.data()), "H5Aread"));
  }
  return value;
}

}  // namespace quillrun::h5
