#include "quillrun/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

Result<File, SdkError> open_file(std::string_view path, int flags, mode_t mode) {
  QR_ASSIGN_OR_RETURN(std::string c_text, c_path(path));
  for (;;) {
    const int fd = ::open(c_text.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return File(fd);
    if (errno != EINTR) return fail(os_error(errno));
  }
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
  for (;;) {
    const ssize_t got = ::read(fd, target, count);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return fail(os_error(errno));
  }
}

}  // namespace

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File::~File() {
  if (fd_ >= 0) (void)::close(fd_);
}

SdkError out_of_memory_error() { return own_error("out of memory"); }

Result<File, SdkError> open_for_reading(std::string_view path) { return open_file(path, O_RDONLY, 0); }

Result<File, SdkError> create_for_writing(std::string_view path) {
  return open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
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

Status<SdkError> write_all(const File& file, std::span<const std::uint8_t> bytes) {
  // The cap of one write call on some systems (not 2^31).
  constexpr std::size_t kMaxWrite = 0x7FFFFFFF;
  while (!bytes.empty()) {
    const ssize_t written = ::write(file.fd(), bytes.data(), std::min(bytes.size(), kMaxWrite));
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(os_error(errno));
    }
    if (written == 0) return fail(own_error("failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
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
