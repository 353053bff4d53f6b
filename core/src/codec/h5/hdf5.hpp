#pragma once
// The thin layer between the core and the HDF5 C library, private to the
// core: a move-only RAII handle per kind of hid_t, one checked wrapper per C
// call we use, and HDF5's own error text in every failure. HDF5's automatic
// error printing is off while our calls run. The library is HDF5 1.14.5 or
// later (the build refuses older ones).

#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillrun/image.hpp"
#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::h5 {

// The library keeps global state and is built without its thread-safety
// layer: a whole read or write holds this across all its calls, so that
// threads working without Python's lock take turns in it. A fork takes it
// too, so that the child never inherits a call in progress.
[[nodiscard]] std::mutex& library_mutex() noexcept;

// Bounds the memory the library holds for itself (object headers, heaps,
// B-tree nodes, its caches, chunk and filter buffers) while it lives: an
// allocation that would make the library hold more than `limit` bytes at once
// fails, and so does the call that needed it; small ones (4 KiB at most, the
// library's bookkeeping) may go 16 MiB further. Counts start at zero. Closing
// a handle is never refused. Made and dropped under library_mutex(), which
// every call it bounds holds; a refused budget gives the library's free lists
// back at the end. Without a library built by scripts/deps.sh nothing is
// counted.
class MemoryBudget {
 public:
  explicit MemoryBudget(std::uint64_t limit) noexcept;
  ~MemoryBudget();
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Whether an allocation was refused.
  [[nodiscard]] static bool refused() noexcept;
  // The most the library has held at once, in bytes.
  [[nodiscard]] static std::uint64_t peak() noexcept;
  // Bytes allocated less bytes freed since the budget began.
  [[nodiscard]] static std::int64_t held() noexcept;

  // Lets a running budget's library hold `extra` bytes more while it lives.
  class Extension {
   public:
    explicit Extension(std::uint64_t extra) noexcept;
    ~Extension();
    Extension(const Extension&) = delete;
    Extension& operator=(const Extension&) = delete;

   private:
    std::uint64_t saved_limit_ = 0;
  };
};

// Closes `id` with `close`, with error printing off and any failure ignored.
void close_quietly(herr_t (*close)(hid_t), hid_t id) noexcept;

template <herr_t (*Close)(hid_t)>
class Handle {
 public:
  Handle() noexcept = default;
  explicit Handle(hid_t id) noexcept : id_(id) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      id_ = std::exchange(other.id_, H5I_INVALID_HID);
    }
    return *this;
  }
  ~Handle() { reset(); }

  [[nodiscard]] hid_t get() const noexcept { return id_; }
  [[nodiscard]] bool valid() const noexcept { return id_ >= 0; }
  // Gives up ownership without closing.
  [[nodiscard]] hid_t release() noexcept { return std::exchange(id_, H5I_INVALID_HID); }
  void reset() noexcept {
    if (id_ >= 0) close_quietly(Close, std::exchange(id_, H5I_INVALID_HID));
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
};

using File = Handle<&H5Fclose>;
using Group = Handle<&H5Gclose>;
using Dataset = Handle<&H5Dclose>;
using Dataspace = Handle<&H5Sclose>;
using Datatype = Handle<&H5Tclose>;
using Attribute = Handle<&H5Aclose>;
using PropList = Handle<&H5Pclose>;

// Switches HDF5's automatic error printing off for its lifetime and restores
// whatever the process had before. Nests.
class ErrorPrintingOff {
 public:
  ErrorPrintingOff() noexcept;
  ~ErrorPrintingOff();
  ErrorPrintingOff(const ErrorPrintingOff&) = delete;
  ErrorPrintingOff& operator=(const ErrorPrintingOff&) = delete;

 private:
  H5E_auto2_t saved_func_ = nullptr;
  void* saved_data_ = nullptr;
  bool restore_ = false;
};

// The error of the failed call `call`: the most specific description on
// HDF5's error stack, on one line; `call` names the failure only when the
// stack holds no description.
[[nodiscard]] SdkError last_error(std::string_view call);

// The in-file and in-memory element types of the numeric columns.
template <class T>
struct ElementType;
template <>
struct ElementType<std::uint8_t> {
  static hid_t memory() noexcept { return H5T_NATIVE_UINT8; }
  static hid_t file() noexcept { return H5T_STD_U8LE; }
};
template <>
struct ElementType<std::uint32_t> {
  static hid_t memory() noexcept { return H5T_NATIVE_UINT32; }
  static hid_t file() noexcept { return H5T_STD_U32LE; }
};
template <>
struct ElementType<std::uint64_t> {
  static hid_t memory() noexcept { return H5T_NATIVE_UINT64; }
  static hid_t file() noexcept { return H5T_STD_U64LE; }
};
template <>
struct ElementType<std::int64_t> {
  static hid_t memory() noexcept { return H5T_NATIVE_INT64; }
  static hid_t file() noexcept { return H5T_STD_I64LE; }
};
template <>
struct ElementType<float> {
  static hid_t memory() noexcept { return H5T_NATIVE_FLOAT; }
  static hid_t file() noexcept { return H5T_IEEE_F32LE; }
};
template <>
struct ElementType<double> {
  static hid_t memory() noexcept { return H5T_NATIVE_DOUBLE; }
  static hid_t file() noexcept { return H5T_IEEE_F64LE; }
};

// ---------------------------------------------------------------------------
// Files in memory

// A file being built in memory (core driver, no backing store); nothing
// touches the file system. Library format bounds are 1.8 to 1.10, and
// creation order of links and attributes is tracked so that a reader sees
// them in the order written.
class NewImage {
 public:
  [[nodiscard]] static Result<NewImage, SdkError> create();

  NewImage(NewImage&&) noexcept;
  NewImage& operator=(NewImage&&) noexcept;
  ~NewImage();

  [[nodiscard]] hid_t id() const noexcept { return file_.get(); }
  // Flushes and closes the file and returns its bytes. Every handle opened
  // inside the file must be closed before.
  [[nodiscard]] Result<Image, SdkError> finish() &&;

  struct Capture;  // the driver's buffer, taken from it at close

 private:
  NewImage(std::unique_ptr<Capture> capture, File file) noexcept;
  // On the heap: its address names the file and is the callbacks' user data.
  std::unique_ptr<Capture> capture_;
  File file_;  // declared last: closed before the capture goes
};

// A file opened read-only over bytes that the caller keeps alive (and
// unchanged) for the lifetime of this object; the bytes are not copied.
class OpenImage {
 public:
  [[nodiscard]] static Result<OpenImage, SdkError> open(std::span<const std::uint8_t> bytes);

  OpenImage(OpenImage&&) noexcept;
  OpenImage& operator=(OpenImage&&) noexcept;
  ~OpenImage();

  [[nodiscard]] hid_t id() const noexcept { return file_.get(); }
  [[nodiscard]] std::uint64_t size() const noexcept;

  struct Borrowed;

 private:
  OpenImage(std::unique_ptr<Borrowed> borrowed, File file) noexcept;
  std::unique_ptr<Borrowed> borrowed_;
  File file_;  // declared last: closed before the borrowed bytes are let go
};

// ---------------------------------------------------------------------------
// Groups and members

[[nodiscard]] Result<Group, SdkError> open_root(hid_t file);
// Creation order of links and attributes tracked, as in the file's root.
[[nodiscard]] Result<Group, SdkError> create_group(hid_t parent, std::string_view name);
// A missing member is an error with the library's text.
[[nodiscard]] Result<Group, SdkError> open_group(hid_t parent, std::string_view name);
// None when `parent` has no member of that name; a member of another kind is
// an error.
[[nodiscard]] Result<std::optional<Group>, SdkError> open_optional_group(hid_t parent, std::string_view name);
// Whether `parent` has a link of that name (of any kind).
[[nodiscard]] Result<bool, SdkError> has_member(hid_t parent, std::string_view name);

// ---------------------------------------------------------------------------
// Datasets

struct DatasetOptions {
  std::span<const std::uint64_t> dims;   // the extent, one value per dimension
  std::span<const std::uint64_t> chunk;  // same rank as dims
  bool unlimited_rows = false;           // the first dimension may grow
  bool shuffle = false;                  // shuffle before deflate
  unsigned deflate_level = 0;            // 0: no deflate
};

// Creates a dataset of T's file type and writes `data` (row-major) into it.
// `data` must hold exactly the product of `dims` elements.
template <class T>
[[nodiscard]] Result<Dataset, SdkError> write_dataset(hid_t parent, std::string_view name, std::span<const T> data,
                                                      const DatasetOptions& options);

// Writes the cells of rows [begin, end), row-major, into `out`, which holds
// exactly those rows. Called on any thread of the pool, several at once for
// disjoint rows, so it may touch only data nothing writes meanwhile.
template <class T>
using FillRows = std::function<void(std::size_t begin, std::size_t end, std::span<T> out)>;

// As write_dataset, with the cells made chunk by chunk by `fill` rather than
// held whole: only the chunks in flight are in memory.
template <class T>
[[nodiscard]] Result<Dataset, SdkError> write_dataset_rows(hid_t parent, std::string_view name, const FillRows<T>& fill,
                                                           const DatasetOptions& options);

[[nodiscard]] Result<Dataset, SdkError> open_dataset(hid_t parent, std::string_view name);
[[nodiscard]] Result<std::optional<Dataset>, SdkError> open_optional_dataset(hid_t parent, std::string_view name);

// ---------------------------------------------------------------------------
// Attributes

// A scalar UTF-8 text. Variable-length, so that the empty text is writable;
// a text holding a NUL byte is stored as a fixed-length, NUL-padded string
// so that nothing after the NUL is lost.
[[nodiscard]] Status<SdkError> write_text_attribute(hid_t object, std::string_view name, std::string_view value);
[[nodiscard]] Status<SdkError> write_float_attribute(hid_t object, std::string_view name, double value);
// A one-dimensional list of variable-length UTF-8 texts.
[[nodiscard]] Status<SdkError> write_text_list_attribute(hid_t object, std::string_view name,
                                                         std::span<const std::string> values);

[[nodiscard]] Result<Attribute, SdkError> open_attribute(hid_t object, std::string_view name);
enum class Order : std::uint8_t { ByName, ByCreation };
// Attribute names of an object. ByCreation needs creation order tracked.
[[nodiscard]] Result<std::vector<std::string>, SdkError> list_attributes(hid_t object, Order order = Order::ByName);

// An attribute's value, whatever the library stored it as.
struct AttributeValue {
  enum class Kind : std::uint8_t { Text, Float, Other };
  Kind kind = Kind::Other;
  bool scalar = false;             // a scalar dataspace, not a list
  std::vector<std::string> texts;  // Text: one per element, of any string kind
  std::vector<double> floats;      // Float: one per element
  std::uint64_t count = 0;         // number of elements
};
[[nodiscard]] Result<AttributeValue, SdkError> read_attribute(hid_t attribute);

}  // namespace quillrun::h5
