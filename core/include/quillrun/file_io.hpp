#pragma once
// Whole-file reading and writing on the POSIX calls, for NavFile.open and
// NavFile.write_to_file. Failures are the core's I/O error, whose message is
// "I/O error: " and the system's description with "(os error N)", or one of
// the texts of our own.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::io {

// An open file descriptor, closed when it ends; an error of the close is
// dropped, as nothing could be done about it.
class File {
 public:
  explicit File(int fd) noexcept : fd_(fd) {}
  File(File&& other) noexcept;
  File& operator=(File&&) = delete;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  [[nodiscard]] int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

// `path` as bytes in the file-system encoding.
[[nodiscard]] Result<File, SdkError> open_for_reading(std::string_view path);

// Everything from the file's current offset to its end.
[[nodiscard]] Result<std::vector<std::uint8_t>, SdkError> read_to_end(const File& file);

// Makes `bytes` the content of the file at `path`. A regular file, or a path
// where nothing is yet, is replaced whole or not at all: the bytes go to a
// new file beside it, reach the disk, and are renamed over it. A symbolic
// link is followed and the file it names replaced; the link stays. An
// existing file keeps its permission bits (and its owner and group where
// the process may set them); a new one gets 0666 less the umask. Anything
// else at `path` (a FIFO, a device, the file behind a descriptor link in
// /proc) is opened and written in place, since a rename would take it away
// from whoever reads it.
[[nodiscard]] Status<SdkError> write_file(std::string_view path, std::span<const std::uint8_t> bytes);

// The I/O error of running out of memory for a buffer.
[[nodiscard]] SdkError out_of_memory_error();

// `path` with ".qrd" appended when its final name has no extension: "trace"
// gives "trace.qrd", "out/" gives "out.qrd"; "trace.h5", "trace." and paths
// without a final name ("", "/", "a/..") stay as they are.
[[nodiscard]] std::string with_qrd_extension(std::string path);

}  // namespace quillrun::io
