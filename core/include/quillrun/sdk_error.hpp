#pragma once
// The error values of the file codec and of the name lookups.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "quillrun/int128.hpp"

namespace quillrun {


// Why a text does not fit a fixed-width field, or why a stored row of one
// does not decode.
namespace field_error {
struct NulByte { std::string text; std::uint64_t offset; };
struct NoTerminator { std::uint64_t width; };
// `error_len` none: the text ends inside a sequence.
struct NotUtf8 { std::uint64_t valid_up_to; std::optional<std::uint64_t> error_len; };
struct TrailingData { std::uint64_t offset; };
struct WrongWidth { std::uint64_t width; std::uint64_t length; };
struct TooLong { std::string text; std::uint64_t length; std::uint64_t limit; };
}  // namespace field_error

struct FieldError {
  std::variant<field_error::NulByte, field_error::NoTerminator, field_error::NotUtf8, field_error::TrailingData,
               field_error::WrongWidth, field_error::TooLong>
      value;

  [[nodiscard]] std::string message() const;
};

namespace sdk_error {
struct DatasetTooLarge { std::string path; Uint128 declared; std::uint64_t file_len; };
struct EmptyField { std::string group; std::string dataset; std::uint64_t row; };
struct EventMarkerWithoutTime { std::uint64_t row; };
struct NavPointWithoutTime { std::uint64_t row; };
struct Hdf5 { std::string text; };
struct IndexOutOfRange {
  std::string group; std::string dataset; std::string target; std::uint64_t row; std::uint64_t index;
  std::uint64_t target_rows;
};
// `text` is the whole description, e.g. "No such file or directory (os error 2)".
struct Io { std::string text; };
struct SatReportWithoutTime { std::uint64_t row; };
struct RowCountMismatch { std::string group; std::string dataset; std::uint64_t expected; std::uint64_t found; };
struct ReservedAbsentMicros { std::string group; std::string dataset; std::uint64_t row; };
struct MicrosOutOfRange { std::string group; std::string dataset; std::uint64_t row; std::int64_t micros; };
struct UnknownConstellationCode { std::string path; std::uint8_t code; };
struct UnknownConstellationName { std::string name; };
struct UnknownMarkerIconName { std::string name; };
struct FieldDecode { std::string group; std::string dataset; FieldError error; };
struct UnsupportedVersion { std::string version; };  // "<missing>" when absent
struct FieldEncode { FieldError error; std::string group; std::string dataset; };
}  // namespace sdk_error

struct SdkError {
  std::variant<sdk_error::DatasetTooLarge, sdk_error::EmptyField, sdk_error::EventMarkerWithoutTime,
               sdk_error::NavPointWithoutTime, sdk_error::Hdf5, sdk_error::IndexOutOfRange, sdk_error::Io,
               sdk_error::SatReportWithoutTime, sdk_error::RowCountMismatch, sdk_error::ReservedAbsentMicros,
               sdk_error::MicrosOutOfRange, sdk_error::UnknownConstellationCode, sdk_error::UnknownConstellationName,
               sdk_error::UnknownMarkerIconName, sdk_error::FieldDecode, sdk_error::UnsupportedVersion,
               sdk_error::FieldEncode>
      value;

  template <class V>
  [[nodiscard]] bool is() const noexcept { return std::holds_alternative<V>(value); }
  // The only place that renders these messages.
  [[nodiscard]] std::string message() const;
};

// "I/O error: ..." is the one SdkError the Python layer raises as OSError.
[[nodiscard]] inline bool is_io_error(const SdkError& e) noexcept { return e.is<sdk_error::Io>(); }

}  // namespace quillrun
