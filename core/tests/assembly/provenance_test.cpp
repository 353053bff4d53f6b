#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/log_capture.hpp"
#include "assembly/provenance_stamp.hpp"
#include "quillrun/provenance.hpp"
#include "quillrun/rfc3339.hpp"

namespace quillrun {
namespace {

using testing::LogCapture;

constexpr std::string_view kCommit = "0123456789abcdef0123456789abcdef01234567";

Meta full_meta() {
  Meta m;
  m.title = "drive";
  m.device = "logger 3";
  m.notes = "";
  m.identity = "unit-7";
  m.travel_mode = TravelModeArg{std::string("hovercraft")};
  return m;
}

// A Meta that came from a read file, with another build's provenance.
Meta meta_from_older_file() {
  Meta m = full_meta();
  m.sdk_version = "0.6.1";
  m.sdk_git_commit = "ffffffffffffffffffffffffffffffffffffffff";
  m.sdk_commit_time = Instant{100, 200, 300};
  return m;
}

void expect_only_provenance_changed(const Meta& before, const Meta& after) {
  EXPECT_EQ(after.title, before.title);
  EXPECT_EQ(after.device, before.device);
  EXPECT_EQ(after.notes, before.notes);
  EXPECT_EQ(after.identity, before.identity);
  EXPECT_EQ(after.travel_mode, before.travel_mode);
}

TEST(Provenance, StampsThisBuildOnAnEmptyMeta) {
  auto& cap = LogCapture::start();
  Meta m;
  build_provenance(m);
  EXPECT_EQ(m.sdk_version, std::string(kSdkVersion));
  EXPECT_EQ(m.sdk_git_commit, std::string(build_commit_id()));
  EXPECT_FALSE(m.title || m.device || m.notes || m.identity || m.travel_mode);

  if (build_commit_time().empty()) {
    // A build outside version control knows no commit time.
    EXPECT_FALSE(m.sdk_commit_time.has_value());
    EXPECT_EQ(cap.records.size(), 1u);
  } else {
    EXPECT_EQ(build_commit_id().size(), 40u);
    EXPECT_EQ(build_commit_id().find_first_not_of("0123456789abcdef"), std::string_view::npos);
    ASSERT_EQ(build_commit_time().size(), 20u);
    EXPECT_EQ(build_commit_time()[10], 'T');
    EXPECT_EQ(build_commit_time()[19], 'Z');
    ASSERT_TRUE(m.sdk_commit_time.has_value());
    EXPECT_GT(*m.sdk_commit_time, (Instant{19'000, 0, 0}));  // after 2022
    EXPECT_TRUE(cap.records.empty());
  }
}

struct CommitTimeCase {
  std::string_view text;
  Instant expected;
};

TEST(Provenance, CommitTimeIsConvertedToUtc) {
  const std::vector<CommitTimeCase> cases = {
      {"2024-03-01T12:34:56Z", {19783, 45296, 0}},
      {"2024-03-01T00:30:00+01:00", {19782, 84600, 0}},
      {"2023-12-31T23:30:00-01:00", {19723, 1800, 0}},
      {"2024-03-01T12:34:56.123456789123Z", {19783, 45296, 123'456'789}},
      {"1972-06-30T23:59:60Z", {911, 86399, 1'000'000'000}},
      {"1969-12-31T23:59:59.5Z", {-1, 86399, 500'000'000}},
      {"0000-01-01T00:00:00+23:59", {-719529, 60, 0}},
      {"9999-12-31T23:59:59-23:59", {2932897, 86339, 0}},
  };
  for (const CommitTimeCase& c : cases) {
    auto& cap = LogCapture::start();
    Meta m = meta_from_older_file();
    detail::stamp_provenance(m, kCommit, c.text);
    ASSERT_TRUE(m.sdk_commit_time.has_value()) << c.text;
    EXPECT_EQ(*m.sdk_commit_time, c.expected) << c.text;
    EXPECT_EQ(m.sdk_version, std::string(kSdkVersion));
    EXPECT_EQ(m.sdk_git_commit, std::string(kCommit));
    expect_only_provenance_changed(meta_from_older_file(), m);
    EXPECT_TRUE(cap.records.empty()) << c.text;
  }
}

struct MalformedCase {
  std::string_view text;
  std::string_view message;
};

TEST(Provenance, MalformedCommitTimeLogsOneWarnAndClearsTheTime) {
  const std::vector<MalformedCase> cases = {
      {"", R"(the commit time build wrote is "", which is not RFC 3339: premature end of input)"},
      {"2024-03-01", R"(the commit time build wrote is "2024-03-01", which is not RFC 3339: premature end of input)"},
      {"2024-13-01T00:00:00Z",
       R"(the commit time build wrote is "2024-13-01T00:00:00Z", which is not RFC 3339: input is out of range)"},
      {"2023-02-29T00:00:00Z",
       R"(the commit time build wrote is "2023-02-29T00:00:00Z", which is not RFC 3339: no possible date and time matching input)"},
      {"2024-03-01T12:34:56Z\n",
       R"(the commit time build wrote is "2024-03-01T12:34:56Z\n", which is not RFC 3339: trailing input)"},
      {"@QR_GIT_COMMIT_TIME@",
       R"(the commit time build wrote is "@QR_GIT_COMMIT_TIME@", which is not RFC 3339: input contains invalid characters)"},
      {"say \"when\"",
       R"(the commit time build wrote is "say \"when\"", which is not RFC 3339: input contains invalid characters)"},
  };
  for (const MalformedCase& c : cases) {
    auto& cap = LogCapture::start();
    Meta m = meta_from_older_file();
    detail::stamp_provenance(m, kCommit, c.text);
    // The older file's commit time is replaced by none, not kept.
    EXPECT_FALSE(m.sdk_commit_time.has_value()) << c.text;
    EXPECT_EQ(m.sdk_version, std::string(kSdkVersion));
    EXPECT_EQ(m.sdk_git_commit, std::string(kCommit));
    expect_only_provenance_changed(meta_from_older_file(), m);
    ASSERT_EQ(cap.records.size(), 1u) << c.text;
    EXPECT_EQ(cap.records[0].level, log::Level::Warn);
    EXPECT_EQ(cap.records[0].target, "quillrun_sdk::provenance");
    EXPECT_EQ(cap.records[0].message, c.message);
  }
}

TEST(Provenance, WarnIsSkippedWhenTheLevelDoesNotAdmitIt) {
  auto& cap = LogCapture::start(log::LevelFilter::Error);
  Meta m = meta_from_older_file();
  detail::stamp_provenance(m, kCommit, "");
  EXPECT_FALSE(m.sdk_commit_time.has_value());
  EXPECT_TRUE(cap.records.empty());
  LogCapture::start();
}

TEST(Provenance, EachCallStampsAgainAndLogsAgain) {
  auto& cap = LogCapture::start();
  Meta m;
  detail::stamp_provenance(m, kCommit, "");
  detail::stamp_provenance(m, kCommit, "");
  EXPECT_EQ(cap.records.size(), 2u);
  // An empty commit id (a build outside version control) is stored as is.
  detail::stamp_provenance(m, "", "2024-03-01T12:34:56Z");
  EXPECT_EQ(m.sdk_git_commit, "");
  EXPECT_EQ(m.sdk_commit_time, (Instant{19783, 45296, 0}));
  Meta expected;
  expected.sdk_version = std::string(kSdkVersion);
  expected.sdk_git_commit = "";
  expected.sdk_commit_time = Instant{19783, 45296, 0};
  EXPECT_EQ(m, expected);
}

}  // namespace
}  // namespace quillrun
