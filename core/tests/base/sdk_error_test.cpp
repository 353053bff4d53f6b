#include <gtest/gtest.h>

#include <string>

#include "quillrun/sdk_error.hpp"

namespace quillrun {
namespace {

using namespace std::string_literals;

struct MessageCase {
  const char* name;
  SdkError error;
  std::string expected;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

class SdkErrorMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(SdkErrorMessage, RendersExactText) { EXPECT_EQ(GetParam().error.message(), GetParam().expected); }

FieldError field(auto value) { return FieldError{value}; }

// 2^64 * 3 + 7, worked out by hand.
constexpr Uint128 kPast64 = (static_cast<Uint128>(3) << 64) + 7;
// 2^128 - 1.
constexpr Uint128 kMax128 = ~static_cast<Uint128>(0);

INSTANTIATE_TEST_SUITE_P(
    Variants, SdkErrorMessage,
    ::testing::Values(
        MessageCase{"dataset_too_large_small",
                    {sdk_error::DatasetTooLarge{"nav_points/lat", 0, 1024}},
                    "dataset \"nav_points/lat\" declares 0 bytes of data, past what a 1024-byte file can hold"},
        MessageCase{"dataset_too_large_past_u64",
                    {sdk_error::DatasetTooLarge{"nav_points/lat", kPast64, 4096}},
                    "dataset \"nav_points/lat\" declares 55340232221128654855 bytes of data, past what a "
                    "4096-byte file can hold"},
        MessageCase{"dataset_too_large_max",
                    {sdk_error::DatasetTooLarge{"a", kMax128, 0}},
                    "dataset \"a\" declares 340282366920938463463374607431768211455 bytes of data, past what a "
                    "0-byte file can hold"},
        MessageCase{"empty_field",
                    {sdk_error::EmptyField{"event_markers", "variant_path", 4}},
                    "event_markers/variant_path: record 4 is empty"},
        MessageCase{"event_marker_without_time",
                    {sdk_error::EventMarkerWithoutTime{7}},
                    "event marker 7 has no timestamp"},
        MessageCase{"nav_point_without_time",
                    {sdk_error::NavPointWithoutTime{0}},
                    "nav point 0 has neither a receiver nor a host timestamp"},
        MessageCase{"hdf5", {sdk_error::Hdf5{"unable to open file"}}, "HDF5 error: unable to open file"},
        MessageCase{"index_out_of_range",
                    {sdk_error::IndexOutOfRange{"sat_reports", "nav_point_idx", "nav_points", 3, 12, 10}},
                    "sat_reports/nav_point_idx: record 3 holds index 12, past the row count of nav_points (10)"},
        MessageCase{"io",
                    {sdk_error::Io{"No such file or directory (os error 2)"}},
                    "I/O error: No such file or directory (os error 2)"},
        MessageCase{"sat_report_without_time",
                    {sdk_error::SatReportWithoutTime{18446744073709551615ull}},
                    "satellite report 18446744073709551615 has neither a receiver nor a host timestamp"},
        MessageCase{"row_count_mismatch",
                    {sdk_error::RowCountMismatch{"nav_points", "lat", 5, 4}},
                    "dataset \"lat\" in group \"nav_points\": expected 5 rows but found 4"},
        MessageCase{"reserved_absent_micros",
                    {sdk_error::ReservedAbsentMicros{"nav_points", "sys_time", 2}},
                    "nav_points/sys_time: record 2 has the microsecond count reserved for an absent timestamp"},
        MessageCase{"micros_out_of_range_negative",
                    {sdk_error::MicrosOutOfRange{"nav_points", "gps_time", 1, INT64_MIN}},
                    "nav_points/gps_time: record 1 holds -9223372036854775808 microseconds, past the range a UTC "
                    "timestamp covers"},
        MessageCase{"unknown_constellation_code",
                    {sdk_error::UnknownConstellationCode{"tracked_sats/constellation", 200}},
                    "unknown constellation code 200 in dataset \"tracked_sats/constellation\""},
        MessageCase{"unknown_constellation_name",
                    {sdk_error::UnknownConstellationName{"gps\n"}},
                    "unknown constellation name \"gps\\n\""},
        MessageCase{"unknown_marker_icon_name",
                    {sdk_error::UnknownMarkerIconName{"Pin"}},
                    "unknown marker icon name \"Pin\""},
        MessageCase{"field_decode_no_terminator",
                    {sdk_error::FieldDecode{"event_markers", "variant_path", field(field_error::NoTerminator{256})}},
                    "event_markers/variant_path: the field row has no nul terminator in its 256 bytes"},
        MessageCase{"field_decode_trailing",
                    {sdk_error::FieldDecode{"event_marker_styles", "color_hex", field(field_error::TrailingData{2})}},
                    "event_marker_styles/color_hex: the field row has a non-nul byte at offset 2, past its nul "
                    "terminator"},
        MessageCase{"unsupported_version", {sdk_error::UnsupportedVersion{"3"}},
                    "unsupported QuillRun file version: \"3\""},
        MessageCase{"unsupported_version_missing", {sdk_error::UnsupportedVersion{"<missing>"}},
                    "unsupported QuillRun file version: \"<missing>\""},
        MessageCase{"field_encode_nul",
                    {sdk_error::FieldEncode{field(field_error::NulByte{"ab\0cd"s, 2}), "markers", "label"}},
                    "markers/label: \"ab\\0cd\" has a nul byte at offset 2"},
        MessageCase{"field_encode_too_long",
                    {sdk_error::FieldEncode{field(field_error::TooLong{std::string(300, 'x'), 300, 255}), "markers",
                                            "label"}},
                    "markers/label: \"" + std::string(300, 'x') +
                        "\" is 300 bytes, past the 255 bytes the field holds"}),
    [](const ::testing::TestParamInfo<MessageCase>& case_info) { return std::string(case_info.param.name); });

struct FieldCase {
  const char* name;
  FieldError error;
  std::string expected;
};
void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class FieldErrorMessage : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldErrorMessage, RendersExactText) { EXPECT_EQ(GetParam().error.message(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Variants, FieldErrorMessage,
    ::testing::Values(
        FieldCase{"nul_byte", field(field_error::NulByte{"a\0\"b"s, 1}), "\"a\\0\\\"b\" has a nul byte at offset 1"},
        FieldCase{"no_terminator", field(field_error::NoTerminator{8}),
                  "the field row has no nul terminator in its 8 bytes"},
        FieldCase{"not_utf8_invalid", field(field_error::NotUtf8{3, 1}),
                  "the field row is not UTF-8: invalid utf-8 sequence of 1 bytes from index 3"},
        FieldCase{"not_utf8_incomplete", field(field_error::NotUtf8{5, std::nullopt}),
                  "the field row is not UTF-8: incomplete utf-8 byte sequence from index 5"},
        FieldCase{"trailing_data", field(field_error::TrailingData{2}),
                  "the field row has a non-nul byte at offset 2, past its nul terminator"},
        FieldCase{"wrong_width", field(field_error::WrongWidth{8, 7}),
                  "a field row of 7 bytes, where the field is 8 bytes wide"},
        FieldCase{"too_long_multibyte", field(field_error::TooLong{"\xc3\xa9", 2, 1}),
                  "\"\xc3\xa9\" is 2 bytes, past the 1 bytes the field holds"}),
    [](const ::testing::TestParamInfo<FieldCase>& case_info) { return std::string(case_info.param.name); });

TEST(SdkError, OnlyIoIsIoError) {
  EXPECT_TRUE(is_io_error(SdkError{sdk_error::Io{"x"}}));
  EXPECT_FALSE(is_io_error(SdkError{sdk_error::Hdf5{"x"}}));
}

}  // namespace
}  // namespace quillrun
