// The channels group: one subgroup per sensor channel, read in any order and
// returned ordered by name.

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <utility>

#include "codec/h5/hdf5_read.hpp"
#include "quillrun/record_rules.hpp"
#include "quillrun/units.hpp"
#include "codec/layout.hpp"
#include "codec/read/read_cells.hpp"
#include "codec/read/read_tables.hpp"

namespace quillrun::reader {
namespace {

namespace ch = layout::channels;
constexpr std::string_view kGroup = ch::kGroup;

// The bytes of a stored name with every bad UTF-8 sequence shown as U+FFFD,
// so that a message can name it.
[[nodiscard]] std::string lossy_utf8(std::string_view name) {
  std::string shown;
  auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  while (auto bad = find_utf8_error(bytes)) {
    const auto good = static_cast<std::size_t>(bad->valid_up_to);
    shown.append(reinterpret_cast<const char*>(bytes.data()), good);
    shown += "\uFFFD";
    const std::size_t skip = bad->error_len ? static_cast<std::size_t>(*bad->error_len) : bytes.size() - good;
    bytes = bytes.subspan(good + skip);
  }
  shown.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return shown;
}

[[nodiscard]] std::uint64_t expected_values(std::uint64_t rows, std::uint64_t width) noexcept {
  if (width != 0 && rows > std::numeric_limits<std::uint64_t>::max() / width)
    return std::numeric_limits<std::uint64_t>::max();
  return rows * width;
}

[[nodiscard]] Result<Channel, SdkError> read_channel(ReaderFile& file, const ReaderGroup& channels,
                                                     std::uint64_t index, h5::Member member) {
  std::string name = std::move(member.name);
  const std::span<const std::uint8_t> name_bytes(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  if (auto bad = find_utf8_error(name_bytes))
    return fail(SdkError{sdk_error::FieldDecode{std::string(kGroup), lossy_utf8(name), FieldError{*bad}}});
  std::string path = std::string(kGroup) + "/" + name;
  if (member.kind != h5::LinkKind::Hard) {
    return fail(
        SdkError{sdk_error::Hdf5{path + " is a soft, external or user-defined link; only hard links are followed"}});
  }
  QR_ASSIGN_OR_RETURN(h5::Group handle, h5::open_member_group(channels.handle.get(), member, index));
  const ReaderGroup group{std::move(handle), path, &file};
  QR_ASSIGN_OR_RETURN(const AttributeSet attributes, AttributeSet::gather(file, group.handle.get(), path));

  QR_ASSIGN_OR_RETURN(const layout::CellVector<std::int64_t> time, read_required<std::int64_t>(group, ch::kTime.name));
  QR_ASSIGN_OR_RETURN(layout::CellVector<double> values, read_required<double>(group, ch::kValue.name));
  QR_ASSIGN_OR_RETURN(std::optional<std::vector<std::string>> components, attributes.text_list(ch::kComponents));
  const std::uint64_t k = components ? components->size() : 0;
  const std::uint64_t expected = expected_values(time.size(), std::max<std::uint64_t>(k, 1));
  QR_TRY(expect_rows(kGroup, ch::kValue.name, expected, values.size()));

  Channel channel;
  channel.name = std::move(name);
  channel.times.reserve(time.size());
  for (std::size_t i = 0; i < time.size(); ++i) {
    QR_ASSIGN_OR_RETURN(const Instant t,
                        micros_to_instant(kGroup, ch::kTime.name, static_cast<std::uint64_t>(i), time[i]));
    channel.times.push_back(t);
  }
  channel.values.assign(values.begin(), values.end());
  if (components) channel.components = std::move(*components);
  QR_ASSIGN_OR_RETURN(std::optional<std::string> unit, attributes.text(ch::kUnit));
  if (unit) channel.unit = unit_from_stored_text(std::move(*unit));
  channel.period_deg = attributes.number(ch::kPeriodDeg);
  QR_ASSIGN_OR_RETURN(channel.description, attributes.text(ch::kDescription));
  return channel;
}

}  // namespace

ChannelUnit unit_from_stored_text(std::string text) {
  if (const auto unit = unit_from_text(text)) return ChannelUnit::recognized(*unit);
  const std::string_view trimmed = trim_white_space(text);
  if (trimmed.empty() || has_control_character(trimmed) || trimmed.size() != text.size())
    return ChannelUnit::legacy(std::move(text));
  return ChannelUnit::custom(std::move(text));
}

Result<std::vector<Channel>, SdkError> read_channels(ReaderFile& file) {
  QR_ASSIGN_OR_RETURN(const std::optional<ReaderGroup> channels, open_optional_group(file, kGroup));
  if (!channels) return std::vector<Channel>();
  QR_ASSIGN_OR_RETURN(std::vector<h5::Member> members, h5::list_members_by_name(channels->handle.get()));
  std::vector<Channel> result;
  result.reserve(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    QR_ASSIGN_OR_RETURN(Channel channel, read_channel(file, *channels, static_cast<std::uint64_t>(i),
                                                      std::move(members[i])));
    result.push_back(std::move(channel));
  }
  std::stable_sort(result.begin(), result.end(),
                   [](const Channel& a, const Channel& b) { return a.name < b.name; });
  return result;
}

}  // namespace quillrun::reader
