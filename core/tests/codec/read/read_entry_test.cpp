#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.hpp"
#include "support/qrd_craft.hpp"
#include "quillrun/reader.hpp"

namespace quillrun {
namespace {

using testing::FilePlan;
using testing::build;
using testing::minimal_file;

std::string error_of(const std::vector<std::uint8_t>& image) {
  const auto r = read_nav_file(image);
  if (r) return "<read succeeded>";
  return r.error().message();
}

FilePlan with_version(std::string version) {
  FilePlan plan = minimal_file();
  plan.root_texts = {{"quillrun_version", std::move(version)}};
  return plan;
}

TEST(ReadEntry, EmptyInputIsRefusedBeforeTheLibrary) {
  EXPECT_EQ(error_of({}), "HDF5 error: the file is empty (0 bytes), not an HDF5 file");
}

TEST(ReadEntry, BytesThatAreNotHdf5FailWithTheLibraryText) {
  const std::string msg = error_of(std::vector<std::uint8_t>(64, 'x'));
  EXPECT_TRUE(msg.starts_with("HDF5 error: ")) << msg;
  EXPECT_GT(msg.size(), std::string("HDF5 error: ").size());
}

class AcceptedVersion : public ::testing::TestWithParam<const char*> {};
TEST_P(AcceptedVersion, Reads) {
  const auto r = read_nav_file(build(with_version(GetParam())));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->points.size(), 3u);
}
INSTANTIATE_TEST_SUITE_P(Versions, AcceptedVersion, ::testing::Values("2", "1", "+2", "002", "0000000001"),
                         [](const ::testing::TestParamInfo<const char*>& case_info) {
                           const std::string text = case_info.param;
                           return text.starts_with('+') ? "plus_" + text.substr(1) : text;
                         });

struct VersionCase {
  const char* name;
  const char* text;
  const char* shown;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }
class RefusedVersion : public ::testing::TestWithParam<VersionCase> {};
TEST_P(RefusedVersion, FailsWithTheTextAsStored) {
  const VersionCase& c = GetParam();
  EXPECT_EQ(error_of(build(with_version(c.text))), std::string("unsupported QuillRun file version: ") + c.shown);
}
INSTANTIATE_TEST_SUITE_P(Versions, RefusedVersion,
                         ::testing::Values(VersionCase{"three", "3", "\"3\""}, VersionCase{"zero", "0", "\"0\""},
                                           VersionCase{"empty", "", "\"\""}, VersionCase{"plus_alone", "+", "\"+\""},
                                           VersionCase{"minus_one", "-1", "\"-1\""},
                                           VersionCase{"leading_space", " 2", "\" 2\""},
                                           VersionCase{"decimal", "2.0", "\"2.0\""},
                                           VersionCase{"two_to_32_plus_2", "4294967298", "\"4294967298\""},
                                           VersionCase{"two_to_32_plus_1", "4294967297", "\"4294967297\""},
                                           VersionCase{"two_plus_signs", "++2", "\"++2\""},
                                           VersionCase{"trailing_tab", "2\t", "\"2\\t\""}),
                         [](const ::testing::TestParamInfo<VersionCase>& case_info) {
                           return std::string(case_info.param.name);
                         });

TEST(ReadEntry, MissingOrNonTextVersionIsMissing) {
  const std::string missing = "unsupported QuillRun file version: \"<missing>\"";
  FilePlan none = minimal_file();
  none.root_texts.clear();
  EXPECT_EQ(error_of(build(none)), missing);

  FilePlan number = minimal_file();
  number.root_texts.clear();
  number.root_extra = [](hid_t root) {
    testing::numeric_attribute<double>(root, "quillrun_version", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, {2.0}, true);
  };
  EXPECT_EQ(error_of(build(number)), missing);

  FilePlan pair = minimal_file();
  pair.root_texts.clear();
  pair.root_extra = [](hid_t root) {
    const std::vector<std::string> texts = {"2", "2"};
    testing::ok_or_die(h5::write_text_list_attribute(root, "quillrun_version", texts));
  };
  EXPECT_EQ(error_of(build(pair)), missing);
}

TEST(ReadEntry, VersionOfOneElementListAndFixedStringsIsRead) {
  FilePlan list = minimal_file();
  list.root_texts.clear();
  list.root_extra = [](hid_t root) {
    const std::vector<std::string> texts = {"1"};
    testing::ok_or_die(h5::write_text_list_attribute(root, "quillrun_version", texts));
  };
  EXPECT_TRUE(read_nav_file(build(list)));

  for (const H5T_str_t pad : {H5T_STR_NULLTERM, H5T_STR_NULLPAD, H5T_STR_SPACEPAD}) {
    FilePlan fixed = minimal_file();
    fixed.root_texts.clear();
    fixed.root_extra = [pad](hid_t root) { testing::fixed_text_attribute(root, "quillrun_version", "2", pad, 8); };
    const auto r = read_nav_file(build(fixed));
    EXPECT_TRUE(r) << "pad " << pad << ": " << r.error().message();
  }
}

TEST(ReadEntry, VersionIsCheckedBeforeAnyTable) {
  FilePlan plan = with_version("7");
  plan.tables.clear();
  EXPECT_EQ(error_of(build(plan)), "unsupported QuillRun file version: \"7\"");
}

TEST(ReadEntry, MissingNavPointsIsAnHdf5Error) {
  FilePlan plan = minimal_file();
  plan.tables.clear();
  EXPECT_TRUE(error_of(build(plan)).starts_with("HDF5 error: "));
}

TEST(ReadEntry, MetaTextsAsStored) {
  FilePlan plan = minimal_file();
  plan.root_texts.insert(plan.root_texts.end(), {{"meta_title", ""},
                                                 {"meta_device", "u-blox \xE2\x9C\x93"},
                                                 {"meta_notes", "line1\nline2"},
                                                 {"meta_identity", "rider-7"},
                                                 {"sdk_version", "0.6.1"},
                                                 {"sdk_git_commit", "abc123"}});
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->meta.title, std::optional<std::string>(""));
  EXPECT_EQ(r->meta.device, std::optional<std::string>("u-blox \xE2\x9C\x93"));
  EXPECT_EQ(r->meta.notes, std::optional<std::string>("line1\nline2"));
  EXPECT_EQ(r->meta.identity, std::optional<std::string>("rider-7"));
  EXPECT_EQ(r->meta.sdk_version, std::optional<std::string>("0.6.1"));
  EXPECT_EQ(r->meta.sdk_git_commit, std::optional<std::string>("abc123"));
  EXPECT_FALSE(r->meta.travel_mode.has_value());
  EXPECT_FALSE(r->meta.sdk_commit_time.has_value());
}

TEST(ReadEntry, TextAttributeEndsAtItsFirstNul) {
  FilePlan plan = minimal_file();
  plan.root_extra = [](hid_t root) {
    testing::fixed_text_attribute(root, "meta_title", std::string_view("ride\0hidden", 11), H5T_STR_NULLPAD);
  };
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->meta.title, std::optional<std::string>("ride"));
}

TEST(ReadEntry, SpacePaddedTextLosesItsPadding) {
  FilePlan plan = minimal_file();
  plan.root_extra = [](hid_t root) { testing::fixed_text_attribute(root, "meta_device", "gps", H5T_STR_SPACEPAD, 10); };
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->meta.device, std::optional<std::string>("gps"));
}

TEST(ReadEntry, InvalidUtf8AttributeFailsNamingIt) {
  FilePlan plan = minimal_file();
  plan.root_extra = [](hid_t root) { testing::fixed_text_attribute(root, "meta_notes", "ok\xFFno", H5T_STR_NULLPAD); };
  EXPECT_EQ(error_of(build(plan)),
            "/meta_notes: the field row is not UTF-8: invalid utf-8 sequence of 1 bytes from index 2");
}

TEST(ReadEntry, TravelModes) {
  auto& cap = testing::LogCapture::start();
  FilePlan car = minimal_file();
  car.root_texts.emplace_back("meta_travel_mode", "car");
  auto r = read_nav_file(build(car));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->meta.travel_mode, std::optional<TravelModeArg>(TravelMode::Car));
  FilePlan air = minimal_file();
  air.root_texts.emplace_back("meta_travel_mode", "aircraft");
  EXPECT_EQ(read_nav_file(build(air))->meta.travel_mode, std::optional<TravelModeArg>(TravelMode::Aircraft));
  EXPECT_TRUE(cap.records.empty());

  for (const std::string free : {"Car", "walking", ""}) {
    cap.records.clear();
    FilePlan plan = minimal_file();
    plan.root_texts.emplace_back("meta_travel_mode", free);
    r = read_nav_file(build(plan));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->meta.travel_mode, std::optional<TravelModeArg>(free));
    ASSERT_EQ(cap.records.size(), 1u);
    EXPECT_EQ(cap.records[0].level, log::Level::Warn);
    EXPECT_EQ(cap.records[0].target, "quillrun_sdk::read");
    EXPECT_EQ(cap.records[0].message, "unknown meta_travel_mode value \"" + free + "\", preserving it as-is");
  }
}

TEST(ReadEntry, NoRecordWhenWarningsAreOff) {
  auto& cap = testing::LogCapture::start(log::LevelFilter::Error);
  FilePlan plan = minimal_file();
  plan.root_texts.emplace_back("meta_travel_mode", "walking");
  ASSERT_TRUE(read_nav_file(build(plan)));
  EXPECT_TRUE(cap.records.empty());
  testing::LogCapture::start();
}

TEST(ReadEntry, CommitTime) {
  auto& cap = testing::LogCapture::start();
  FilePlan plan = minimal_file();
  plan.root_texts.emplace_back("sdk_commit_time", "2024-05-01T12:00:00+02:00");
  auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->meta.sdk_commit_time, make_instant(2024, 5, 1, 10, 0, 0));
  EXPECT_TRUE(cap.records.empty());

  FilePlan bare = minimal_file();
  bare.root_texts.emplace_back("sdk_commit_time", "2024-05-01");
  r = read_nav_file(build(bare));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->meta.sdk_commit_time.has_value());
  ASSERT_EQ(cap.records.size(), 1u);
  EXPECT_EQ(cap.records[0].target, "quillrun_sdk::provenance");
  EXPECT_TRUE(cap.records[0].message.starts_with(
      "the sdk_commit_time attribute is \"2024-05-01\", which is not RFC 3339: "))
      << cap.records[0].message;
}

TEST(ReadEntry, EmptyNavPointsStillReadsTheOtherTables) {
  FilePlan plan = minimal_file(0);
  plan.tables.push_back(testing::Table{"markers",
                                       {{"time", std::vector<std::int64_t>{5}, {}},
                                        {"lat", std::vector<double>{1.0}, {}},
                                        {"lon", std::vector<double>{2.0}, {}},
                                        {"icon", std::vector<std::uint8_t>{3}, {}},
                                        {"label", testing::text_cells({"x"}, 256), {1, 256}}},
                                       {}});
  const auto r = read_nav_file(build(plan));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_TRUE(r->points.empty());
  ASSERT_EQ(r->markers.size(), 1u);
  EXPECT_EQ(r->markers[0].label, std::optional<std::string>("x"));
}

}  // namespace
}  // namespace quillrun
