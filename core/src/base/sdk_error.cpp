#include "quillrun/sdk_error.hpp"

#include <algorithm>
#include <string>
#include <variant>

#include "base/overloaded.hpp"
#include "quillrun/text.hpp"

// Calls to quoted() are qualified: with a std::string argument, ADL would
// otherwise also find std::quoted wherever <iomanip> is in sight.

namespace quillrun {
namespace {

// std::to_string has no overload for 128-bit integers.
std::string decimal_u128(Uint128 value) {
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  std::reverse(digits.begin(), digits.end());
  return digits;
}

std::string dec(std::uint64_t value) { return std::to_string(value); }

std::string field_path(const std::string& group, const std::string& dataset) { return group + "/" + dataset; }

}  // namespace

std::string FieldError::message() const {
  using namespace field_error;
  return std::visit(
      Overloaded{
          [](const NulByte& e) {
            return quillrun::quoted(e.text) + " has a nul byte at offset " + dec(e.offset);
          },
          [](const NoTerminator& e) {
            return "the field row has no nul terminator in its " + dec(e.width) + " bytes";
          },
          [](const NotUtf8& e) {
            std::string out = "the field row is not UTF-8: ";
            if (e.error_len) {
              out += "invalid utf-8 sequence of " + dec(*e.error_len) + " bytes from index " + dec(e.valid_up_to);
            } else {
              out += "incomplete utf-8 byte sequence from index " + dec(e.valid_up_to);
            }
            return out;
          },
          [](const TrailingData& e) {
            return "the field row has a non-nul byte at offset " + dec(e.offset) + ", past its nul terminator";
          },
          [](const WrongWidth& e) {
            return "a field row of " + dec(e.length) + " bytes, where the field is " + dec(e.width) + " bytes wide";
          },
          [](const TooLong& e) {
            return quillrun::quoted(e.text) + " is " + dec(e.length) + " bytes, past the " + dec(e.limit) +
                   " bytes the field holds";
          },
      },
      value);
}

std::string SdkError::message() const {
  using namespace sdk_error;
  return std::visit(
      Overloaded{
          [](const DatasetTooLarge& e) {
            return "dataset " + quillrun::quoted(e.path) + " declares " + decimal_u128(e.declared) +
                   " bytes of data, past what a " + dec(e.file_len) + "-byte file can hold";
          },
          [](const EmptyField& e) { return field_path(e.group, e.dataset) + ": record " + dec(e.row) + " is empty"; },
          [](const EventMarkerWithoutTime& e) { return "event marker " + dec(e.row) + " has no timestamp"; },
          [](const NavPointWithoutTime& e) {
            return "nav point " + dec(e.row) + " has neither a receiver nor a host timestamp";
          },
          [](const Hdf5& e) { return "HDF5 error: " + e.text; },
          [](const IndexOutOfRange& e) {
            return field_path(e.group, e.dataset) + ": record " + dec(e.row) + " holds index " + dec(e.index) +
                   ", past the row count of " + e.target + " (" + dec(e.target_rows) + ")";
          },
          [](const Io& e) { return "I/O error: " + e.text; },
          [](const SatReportWithoutTime& e) {
            return "satellite report " + dec(e.row) + " has neither a receiver nor a host timestamp";
          },
          [](const RowCountMismatch& e) {
            return "dataset " + quillrun::quoted(e.dataset) + " in group " + quillrun::quoted(e.group) +
                   ": expected " + dec(e.expected) + " rows but found " + dec(e.found);
          },
          [](const ReservedAbsentMicros& e) {
            return field_path(e.group, e.dataset) + ": record " + dec(e.row) +
                   " has the microsecond count reserved for an absent timestamp";
          },
          [](const MicrosOutOfRange& e) {
            return field_path(e.group, e.dataset) + ": record " + dec(e.row) + " holds " + std::to_string(e.micros) +
                   " microseconds, past the range a UTC timestamp covers";
          },
          [](const UnknownConstellationCode& e) {
            return "unknown constellation code " + std::to_string(static_cast<unsigned>(e.code)) + " in dataset " +
                   quillrun::quoted(e.path);
          },
          [](const UnknownConstellationName& e) { return "unknown constellation name " + quillrun::quoted(e.name); },
          [](const UnknownMarkerIconName& e) { return "unknown marker icon name " + quillrun::quoted(e.name); },
          [](const FieldDecode& e) { return field_path(e.group, e.dataset) + ": " + e.error.message(); },
          [](const UnsupportedVersion& e) {
            return "unsupported QuillRun file version: " + quillrun::quoted(e.version);
          },
          [](const FieldEncode& e) { return field_path(e.group, e.dataset) + ": " + e.error.message(); },
      },
      value);
}

}  // namespace quillrun
