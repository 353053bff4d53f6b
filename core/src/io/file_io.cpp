#include "quillrun/file_io.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

namespace quillrun::io {
namespace {

// glibc offers the GNU strerror_r (returning the text) or the XSI one
// (returning a status), depending on feature macros: take either.
[[maybe_unused]] const char* strerror_text(int status, const char* buffer) noexcept {
  return status == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* text, const char* /*buffer*/) noexcept { return text; }

SdkError os_error(int code) {
  char buffer[256] = {};
  const char* description = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
  std::string text = description != nullptr ? description : "Unknown error " + std::to_string(code);
  text += " (os error " + std::to_string(code) + ")";
  return SdkError{sdk_error::Io{std::move(text)}};
}

SdkError own_error(const char* text) { return SdkError{sdk_error::Io{text}}; }

// The path as the system takes it: a C string, so no NUL byte inside.
Result<std::string, SdkError> c_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail(own_error("file name contained an unexpected NUL byte"));
  return std::string(path);
}

// A system call repeated while a signal interrupts it.
template <typename Call>
auto retried(Call call) noexcept {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

Result<File, SdkError> open_file(const std::string& path, int flags, mode_t mode) {
  const int fd = retried([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return fail(os_error(errno));
  return File(fd);
}

// What is left to read, from fstat and the current offset; none when either
// call fails.
std::optional<std::size_t> size_hint(int fd) noexcept {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  const off_t offset = ::lseek(fd, 0, SEEK_CUR);
  if (offset < 0) return std::nullopt;
  if (info.st_size <= offset) return std::size_t{0};
  return static_cast<std::size_t>(info.st_size - offset);
}

// Grows `buffer` to `size` bytes; false when the memory cannot be had.
bool grow_to(std::vector<std::uint8_t>& buffer, std::size_t size) noexcept {
  try {
    buffer.resize(size);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

// One read into `target`, retried when interrupted.
Result<std::size_t, SdkError> read_some(int fd, std::uint8_t* target, std::size_t count) {
  const ssize_t got = retried([&] { return ::read(fd, target, count); });
  if (got < 0) return fail(os_error(errno));
  return static_cast<std::size_t>(got);
}

Status<SdkError> write_all(int fd, std::span<const std::uint8_t> bytes) {
  // The cap of one write call on some systems (not 2^31).
  constexpr std::size_t kMaxWrite = 0x7FFFFFFF;
  while (!bytes.empty()) {
    const ssize_t written = retried([&] { return ::write(fd, bytes.data(), std::min(bytes.size(), kMaxWrite)); });
    if (written < 0) return fail(os_error(errno));
    if (written == 0) return fail(own_error("failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

// ------------------------------------------------------------------ replacing a file

// The final name of `path` and the folder part before it ("" or ending in "/").
std::string_view final_name(std::string_view path) noexcept {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}
std::string_view folder_part(std::string_view path) noexcept {
  return path.substr(0, path.size() - final_name(path).size());
}

struct Target {
  enum class Kind { Missing, Regular, InPlace };
  Kind kind;
  std::string path;  // after following symbolic links
};

// A link of /proc's descriptor folders names an open file, not a path: the
// pipe or the file behind the descriptor is written through it.
bool is_descriptor_link(const std::string& link) noexcept {
  const std::string folder(folder_part(link));
  struct statfs info {};
  return retried([&] { return ::statfs(folder.empty() ? "." : folder.c_str(), &info); }) == 0 &&
         info.f_type == PROC_SUPER_MAGIC;
}

// The path a symbolic link names, a relative one taken from the link's folder.
Result<std::string, SdkError> link_target(const std::string& link) {
  std::string text(256, '\0');
  for (;;) {
    const ssize_t length = retried([&] { return ::readlink(link.c_str(), text.data(), text.size()); });
    if (length < 0) return fail(os_error(errno));
    if (static_cast<std::size_t>(length) < text.size()) {
      text.resize(static_cast<std::size_t>(length));
      break;
    }
    text.resize(text.size() * 2);
  }
  if (!text.empty() && text.front() == '/') return text;
  return std::string(folder_part(link)) + text;
}

// What a write to `path` meets, following symbolic links as open would. Any
// case not plainly a regular file or nothing is left to the direct open, so
// that it fails, or works, exactly as it always did.
Result<Target, SdkError> resolve(std::string path) {
  // The system's own limit on links in one lookup.
  constexpr int kMaxLinks = 40;
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    const std::string_view name = final_name(path);
    if (name.empty() || name == "." || name == "..") break;
    struct stat info {};
    if (retried([&] { return ::lstat(path.c_str(), &info); }) != 0) {
      if (errno == ENOENT) return Target{Target::Kind::Missing, std::move(path)};
      break;
    }
    if (S_ISREG(info.st_mode)) return Target{Target::Kind::Regular, std::move(path)};
    if (!S_ISLNK(info.st_mode) || is_descriptor_link(path)) break;
    QR_ASSIGN_OR_RETURN(path, link_target(path));
  }
  return Target{Target::Kind::InPlace, std::move(path)};
}

// The umask, read without setting it: umask() can only be read by changing
// it, and another thread creating a file meanwhile would get the wrong mode.
mode_t process_umask() {
  if (Result<File, SdkError> status = open_file("/proc/self/status", O_RDONLY, 0)) {
    if (Result<std::vector<std::uint8_t>, SdkError> text = read_to_end(*status)) {
      const std::string_view lines(reinterpret_cast<const char*>(text->data()), text->size());
      constexpr std::string_view kKey = "\nUmask:";
      if (const std::size_t at = lines.find(kKey); at != std::string_view::npos) {
        const std::string value(lines.substr(at + kKey.size(), 16));
        char* end = nullptr;
        const unsigned long mask = std::strtoul(value.c_str(), &end, 8);
        if (end != value.c_str() && mask <= 0777) return static_cast<mode_t>(mask);
      }
    }
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// A new file beside the target, removed again unless it was renamed.
class TemporaryFile {
 public:
  // Failures are the system's error number.
  static Result<TemporaryFile, int> create_beside(std::string_view target) {
    // A prefix of the target's name tells whose the file is; the cut keeps
    // the whole name within 255 bytes and whole UTF-8 characters.
    std::string_view name = final_name(target);
    if (name.size() > 200) {
      std::size_t cut = 200;
      while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
      name = name.substr(0, cut);
    }
    for (;;) {
      std::string path = std::string(folder_part(target)) + "." + std::string(name) + ".XXXXXX";
      // mkostemp creates with O_EXCL under a random name, mode 0600.
      const int fd = ::mkostemp(path.data(), O_CLOEXEC);
      if (fd >= 0) return TemporaryFile(std::move(path), fd);
      if (errno != EINTR) return fail(errno);
    }
  }

  TemporaryFile(TemporaryFile&& other) noexcept
      : path_(std::move(other.path_)), file_(std::move(other.file_)), renamed_(std::exchange(other.renamed_, true)) {}
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    if (!renamed_) (void)::unlink(path_.c_str());
  }

  [[nodiscard]] int fd() const noexcept { return file_->fd(); }

  // Closes the file and renames it to `target`.
  Status<int> rename_to(const std::string& target) {
    file_.reset();
    if (retried([&] { return ::rename(path_.c_str(), target.c_str()); }) != 0) return fail(errno);
    renamed_ = true;
    return {};
  }

 private:
  TemporaryFile(std::string path, int fd) : path_(std::move(path)), file_(std::in_place, fd) {}

  std::string path_;
  std::optional<File> file_;
  bool renamed_ = false;
};

// Owner and group first: a change of owner clears set-id bits. An owner the
// process may not give the file away to is left as the process's own.
Status<SdkError> take_over_attributes(int fd, const struct stat& old) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) return fail(os_error(errno));
  if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
    if (retried([&] { return ::fchown(fd, old.st_uid, old.st_gid); }) != 0) {
      if (errno != EPERM) return fail(os_error(errno));
      if (retried([&] { return ::fchown(fd, static_cast<uid_t>(-1), old.st_gid); }) != 0 && errno != EPERM) {
        return fail(os_error(errno));
      }
    }
  }
  return {};
}

Status<SdkError> set_mode(int fd, mode_t mode) {
  // A file system without permission bits (FAT) refuses the change; the
  // file gets its mount's mode, as any file made there does.
  if (retried([&] { return ::fchmod(fd, mode); }) != 0 && errno != EPERM) return fail(os_error(errno));
  return {};
}

// The file as it was: opened for writing, not truncated, so that a file the
// process may not write is refused as before, although the folder would
// allow a rename over it.
Result<struct stat, SdkError> writable_file_status(const std::string& path) {
  QR_ASSIGN_OR_RETURN(File file, open_file(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW, 0));
  struct stat info {};
  if (::fstat(file.fd(), &info) != 0) return fail(os_error(errno));
  return info;
}

enum class Replaced : bool { No, Yes };

bool lacks_rights(int code) noexcept { return code == EACCES || code == EPERM; }

// No when the process may write the file but not replace it (a folder it may
// not write, a sticky folder and a file of another owner): the caller then
// writes in place, as a file the process may write must stay writable.
Result<Replaced, SdkError> replace_file(const Target& target, std::span<const std::uint8_t> bytes) {
  std::optional<struct stat> old;
  if (target.kind == Target::Kind::Regular) {
    QR_ASSIGN_OR_RETURN(old, writable_file_status(target.path));
  }
  Result<TemporaryFile, int> temporary = TemporaryFile::create_beside(target.path);
  if (!temporary) {
    if (old && lacks_rights(temporary.error())) return Replaced::No;
    return fail(os_error(temporary.error()));
  }
  if (old) {
    QR_TRY(take_over_attributes(temporary->fd(), *old));
    QR_TRY(set_mode(temporary->fd(), old->st_mode & 07777));
  } else {
    QR_TRY(set_mode(temporary->fd(), 0666 & ~process_umask()));
  }
  QR_TRY(write_all(temporary->fd(), bytes));
  if (retried([&] { return ::fsync(temporary->fd()); }) != 0) return fail(os_error(errno));
  if (Status<int> renamed = temporary->rename_to(target.path); !renamed) {
    if (old && lacks_rights(renamed.error())) return Replaced::No;
    return fail(os_error(renamed.error()));
  }
  // The new content is in place. Syncing the folder makes the rename itself
  // durable; should that fail, a crash can only bring the old file back
  // whole, so the write still counts as done.
  const std::string folder(folder_part(target.path));
  if (Result<File, SdkError> dir = open_file(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY, 0)) {
    (void)retried([&] { return ::fsync(dir->fd()); });
  }
  return Replaced::Yes;
}

}  // namespace

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File::~File() {
  if (fd_ >= 0) (void)::close(fd_);
}

SdkError out_of_memory_error() { return own_error("out of memory"); }

Result<File, SdkError> open_for_reading(std::string_view path) {
  QR_ASSIGN_OR_RETURN(std::string c_text, c_path(path));
  return open_file(c_text, O_RDONLY, 0);
}

Result<std::vector<std::uint8_t>, SdkError> read_to_end(const File& file) {
  std::vector<std::uint8_t> buffer;
  std::size_t length = 0;
  // One reservation from the hint, so a file whose size holds still needs a
  // single allocation.
  if (const auto hint = size_hint(file.fd()); hint && *hint > 0) {
    if (!grow_to(buffer, std::max<std::size_t>(*hint, 8))) return fail(out_of_memory_error());
  }
  for (;;) {
    if (length == buffer.size()) {
      // Full: a small probe tells the end of the file from more data without
      // doubling a buffer that was sized exactly.
      std::uint8_t probe[32];
      QR_ASSIGN_OR_RETURN(std::size_t got, read_some(file.fd(), probe, sizeof probe));
      if (got == 0) break;
      const std::size_t capacity = buffer.size();
      if (capacity > std::numeric_limits<std::size_t>::max() / 2) return fail(out_of_memory_error());
      if (!grow_to(buffer, std::max<std::size_t>({capacity * 2, length + got, 8}))) {
        return fail(out_of_memory_error());
      }
      std::memcpy(buffer.data() + length, probe, got);
      length += got;
      continue;
    }
    QR_ASSIGN_OR_RETURN(std::size_t got, read_some(file.fd(), buffer.data() + length, buffer.size() - length));
    if (got == 0) break;
    length += got;
  }
  buffer.resize(length);
  return buffer;
}

Status<SdkError> write_file(std::string_view path, std::span<const std::uint8_t> bytes) {
  QR_ASSIGN_OR_RETURN(std::string c_text, c_path(path));
  QR_ASSIGN_OR_RETURN(Target target, resolve(c_text));
  if (target.kind != Target::Kind::InPlace) {
    QR_ASSIGN_OR_RETURN(Replaced replaced, replace_file(target, bytes));
    if (replaced == Replaced::Yes) return {};
  }
  QR_ASSIGN_OR_RETURN(File file, open_file(c_text, O_WRONLY | O_CREAT | O_TRUNC, 0666));
  return write_all(file.fd(), bytes);
}

std::string with_qrd_extension(std::string path) {
  // The final component, with trailing "/" and "/." ignored; a "." that
  // opens the path is a component of its own and no name.
  std::size_t end = path.size();
  std::size_t start = 0;
  for (;;) {
    while (end > 0 && path[end - 1] == '/') --end;
    const std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    start = (slash == std::string::npos || end == 0) ? 0 : slash + 1;
    if (end - start == 1 && path[start] == '.' && start > 0) {
      end = start;
      continue;
    }
    break;
  }
  const std::string_view name = std::string_view(path).substr(start, end - start);
  if (name.empty() || name == "." || name == "..") return path;
  // A dot past the first byte starts an extension ("trace." has an empty one).
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) return path;
  path.resize(end);
  path += ".qrd";
  return path;
}

}  // namespace quillrun::io
