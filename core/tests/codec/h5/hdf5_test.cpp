#include "codec/h5/hdf5.hpp"
#include "codec/h5/hdf5_read.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/h5_read.hpp"

namespace quillrun::h5 {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Writes the image to a real file so that a plain H5Fopen, with HDF5's
// default driver and all its checks, is the independent judge of the bytes.
class ImageOnDisk {
 public:
  explicit ImageOnDisk(const Bytes& image) {
    path_ = ::testing::TempDir() + "hdf5_test_" +
            std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".h5";
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  ~ImageOnDisk() { std::remove(path_.c_str()); }
  ImageOnDisk(const ImageOnDisk&) = delete;
  ImageOnDisk& operator=(const ImageOnDisk&) = delete;

  [[nodiscard]] File open() const {
    const ErrorPrintingOff quiet;
    return File(H5Fopen(path_.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  }

 private:
  std::string path_;
};

std::string error_text(const SdkError& error) {
  const auto* hdf5 = std::get_if<sdk_error::Hdf5>(&error.value);
  return hdf5 == nullptr ? std::string("<not an Hdf5 error>") : hdf5->text;
}

// One image with a group, datasets of two kinds and every attribute kind.
Bytes sample_image() {
  auto image = NewImage::create();
  EXPECT_TRUE(image.has_value());
  {
    auto root = open_root(image->id());
    EXPECT_TRUE(root.has_value());
    EXPECT_TRUE(write_text_attribute(root->get(), "zeta", "first").has_value());
    EXPECT_TRUE(write_text_attribute(root->get(), "alpha", "").has_value());
    EXPECT_TRUE(write_text_attribute(root->get(), "with_nul", std::string_view("a\0b", 3)).has_value());
    EXPECT_TRUE(write_float_attribute(root->get(), "period", 360.0).has_value());
    const std::vector<std::string> list = {"x", "y", "zürich"};
    EXPECT_TRUE(write_text_list_attribute(root->get(), "list", list).has_value());

    auto group = create_group(root->get(), "table");
    EXPECT_TRUE(group.has_value());
    const std::vector<std::int64_t> times = {-1, 0, 1'000'000};
    const std::array<std::uint64_t, 1> dims = {3};
    const std::array<std::uint64_t, 1> chunk = {8192};
    auto times_ds = write_dataset<std::int64_t>(group->get(), "time", times,
                                                {dims, chunk, /*unlimited_rows=*/true, /*shuffle=*/true, 6});
    EXPECT_TRUE(times_ds.has_value());
    const std::vector<std::uint8_t> text(2 * 8, 0);
    const std::array<std::uint64_t, 2> text_dims = {2, 8};
    const std::array<std::uint64_t, 2> text_chunk = {1024, 8};
    auto text_ds = write_dataset<std::uint8_t>(group->get(), "text", text, {text_dims, text_chunk, true, false, 6});
    EXPECT_TRUE(text_ds.has_value());
  }
  auto bytes = std::move(*image).finish();
  EXPECT_TRUE(bytes.has_value());
  return bytes.has_value() ? std::move(*bytes).to_vector() : Bytes{};
}

TEST(Hdf5Image, FinishedImageOpensWithTheDefaultDriver) {
  const Bytes image = sample_image();
  ASSERT_GT(image.size(), 8u);
  const std::array<std::uint8_t, 8> signature = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
  EXPECT_TRUE(std::equal(signature.begin(), signature.end(), image.begin()));
  const ImageOnDisk disk(image);
  const File file = disk.open();
  ASSERT_TRUE(file.valid()) << "the superblock or an object header does not verify";
  auto group = open_group(file.get(), "table");
  ASSERT_TRUE(group.has_value());
  auto dataset = open_dataset(group->get(), "time");
  ASSERT_TRUE(dataset.has_value());
  auto values = testing::read_dataset<std::int64_t>(dataset->get());
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(*values, (std::vector<std::int64_t>{-1, 0, 1'000'000}));
}

TEST(Hdf5Image, OpensFromBytesAndReadsBack) {
  const Bytes image = sample_image();
  auto file = OpenImage::open(image);
  ASSERT_TRUE(file.has_value()) << error_text(file.error());
  EXPECT_EQ(file->size(), image.size());
  auto root = open_root(file->id());
  ASSERT_TRUE(root.has_value());

  auto names = list_attributes(root->get(), Order::ByCreation);
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(*names, (std::vector<std::string>{"zeta", "alpha", "with_nul", "period", "list"}));
  auto by_name = list_attributes(root->get(), Order::ByName);
  ASSERT_TRUE(by_name.has_value());
  EXPECT_EQ(*by_name, (std::vector<std::string>{"alpha", "list", "period", "with_nul", "zeta"}));

  const auto read = [&](std::string_view name) {
    auto attribute = open_attribute(root->get(), name);
    EXPECT_TRUE(attribute.has_value());
    auto value = read_attribute(attribute->get());
    EXPECT_TRUE(value.has_value());
    return std::move(value).value();
  };
  const AttributeValue zeta = read("zeta");
  EXPECT_EQ(zeta.kind, AttributeValue::Kind::Text);
  EXPECT_TRUE(zeta.scalar);
  EXPECT_EQ(zeta.texts, (std::vector<std::string>{"first"}));
  EXPECT_EQ(read("alpha").texts, (std::vector<std::string>{""}));
  EXPECT_EQ(read("with_nul").texts, (std::vector<std::string>{std::string("a\0b", 3)}));
  const AttributeValue period = read("period");
  EXPECT_EQ(period.kind, AttributeValue::Kind::Float);
  EXPECT_EQ(period.floats, (std::vector<double>{360.0}));
  const AttributeValue list = read("list");
  EXPECT_EQ(list.kind, AttributeValue::Kind::Text);
  EXPECT_FALSE(list.scalar);
  EXPECT_EQ(list.texts, (std::vector<std::string>{"x", "y", "zürich"}));

  auto members = list_members_by_name(root->get());
  ASSERT_TRUE(members.has_value());
  ASSERT_EQ(members->size(), 1U);
  EXPECT_EQ(members->front().name, "table");
  EXPECT_EQ(members->front().kind, LinkKind::Hard);
  auto group = open_group(root->get(), "table");
  ASSERT_TRUE(group.has_value());
  auto text = open_dataset(group->get(), "text");
  ASSERT_TRUE(text.has_value());
  auto dims = testing::dataset_dims(text->get());
  ASSERT_TRUE(dims.has_value());
  EXPECT_EQ(*dims, (std::vector<std::uint64_t>{2, 8}));
  auto size = testing::dataset_element_size(text->get());
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(*size, 1u);
  auto bytes = testing::read_dataset<std::uint8_t>(text->get());
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), 16u);
  // A 64-bit float read of an integer column is converted by the library.
  auto time = open_dataset(group->get(), "time");
  ASSERT_TRUE(time.has_value());
  auto as_double = testing::read_dataset<double>(time->get());
  ASSERT_TRUE(as_double.has_value());
  EXPECT_EQ(*as_double, (std::vector<double>{-1.0, 0.0, 1'000'000.0}));
}

TEST(Hdf5Image, OptionalLookupsTellMissingFromBroken) {
  const Bytes image = sample_image();
  auto file = OpenImage::open(image);
  ASSERT_TRUE(file.has_value());
  auto missing = open_optional_group(file->id(), "nowhere");
  ASSERT_TRUE(missing.has_value());
  EXPECT_FALSE(missing->has_value());
  auto present = open_optional_group(file->id(), "table");
  ASSERT_TRUE(present.has_value());
  ASSERT_TRUE(present->has_value());
  auto no_dataset = open_optional_dataset((*present)->get(), "lat");
  ASSERT_TRUE(no_dataset.has_value());
  EXPECT_FALSE(no_dataset->has_value());
  auto no_attribute = testing::open_optional_attribute(file->id(), "quillrun_version");
  ASSERT_TRUE(no_attribute.has_value());
  EXPECT_FALSE(no_attribute->has_value());

  // Present under that name but not a group: an error, not absence.
  auto not_a_group = open_optional_group((*present)->get(), "time");
  ASSERT_FALSE(not_a_group.has_value());
  EXPECT_FALSE(error_text(not_a_group.error()).empty());

  // A required member that is missing carries the library's own text.
  auto required = open_group(file->id(), "nowhere");
  ASSERT_FALSE(required.has_value());
  const std::string text = error_text(required.error());
  EXPECT_NE(text.find("nowhere"), std::string::npos) << text;
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(Hdf5Image, BytesThatAreNoHdf5FileFailWithTheLibraryText) {
  const Bytes garbage(4096, 0x5a);
  auto file = OpenImage::open(garbage);
  ASSERT_FALSE(file.has_value());
  const std::string text = error_text(file.error());
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(file.error().message(), "HDF5 error: " + text);

  auto empty = OpenImage::open(Bytes{});
  ASSERT_FALSE(empty.has_value());
  EXPECT_FALSE(error_text(empty.error()).empty());

  // A truncated image fails cleanly too.
  Bytes image = sample_image();
  image.resize(image.size() / 2);
  EXPECT_FALSE(OpenImage::open(image).has_value());
}

TEST(Hdf5Image, ImagesOpenAtOnceStayApart) {
  auto first = NewImage::create();
  auto second = NewImage::create();
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  {
    auto a = create_group(first->id(), "only_in_first");
    ASSERT_TRUE(a.has_value());
  }
  auto first_bytes = std::move(*first).finish();
  auto second_bytes = std::move(*second).finish();
  ASSERT_TRUE(first_bytes.has_value());
  ASSERT_TRUE(second_bytes.has_value());

  auto one = OpenImage::open(first_bytes->bytes());
  auto two = OpenImage::open(second_bytes->bytes());
  ASSERT_TRUE(one.has_value());
  ASSERT_TRUE(two.has_value());
  auto in_one = has_member(one->id(), "only_in_first");
  auto in_two = has_member(two->id(), "only_in_first");
  ASSERT_TRUE(in_one.has_value());
  ASSERT_TRUE(in_two.has_value());
  EXPECT_TRUE(*in_one);
  EXPECT_FALSE(*in_two);
}

TEST(Hdf5Image, DatasetBufferMustMatchItsExtent) {
  auto image = NewImage::create();
  ASSERT_TRUE(image.has_value());
  const std::vector<double> values = {1.0, 2.0};
  const std::array<std::uint64_t, 2> dims = {1, 3};
  const std::array<std::uint64_t, 2> chunk = {1, 3};
  auto dataset = write_dataset<double>(image->id(), "value", values, {dims, chunk, true, true, 6});
  ASSERT_FALSE(dataset.has_value());
  EXPECT_EQ(error_text(dataset.error()), "dataset value: 2 values for an extent of 3");
}

TEST(Hdf5Image, LibraryFailureWhileWritingIsReported) {
  auto image = NewImage::create();
  ASSERT_TRUE(image.has_value());
  ASSERT_TRUE(write_text_attribute(image->id(), "twice", "a").has_value());
  auto again = write_text_attribute(image->id(), "twice", "b");
  ASSERT_FALSE(again.has_value());
  EXPECT_FALSE(error_text(again.error()).empty());
  // The image is still usable after a refused call.
  EXPECT_TRUE(std::move(*image).finish().has_value());
}

int g_printed = 0;
herr_t count_prints(hid_t, void*) {
  ++g_printed;
  return 0;
}

TEST(Hdf5Errors, AutomaticPrintingIsOffDuringOurCallsAndRestoredAfter) {
  H5E_auto2_t old_func = nullptr;
  void* old_data = nullptr;
  ASSERT_GE(H5Eget_auto2(H5E_DEFAULT, &old_func, &old_data), 0);
  ASSERT_GE(H5Eset_auto2(H5E_DEFAULT, &count_prints, nullptr), 0);
  g_printed = 0;
  {
    const Bytes garbage(64, 0);
    EXPECT_FALSE(OpenImage::open(garbage).has_value());
    const Group bogus(123456789);  // closing an invalid id stays silent
  }
  EXPECT_EQ(g_printed, 0);
  H5E_auto2_t now = nullptr;
  void* now_data = nullptr;
  ASSERT_GE(H5Eget_auto2(H5E_DEFAULT, &now, &now_data), 0);
  EXPECT_EQ(now, &count_prints);
  ASSERT_GE(H5Eset_auto2(H5E_DEFAULT, old_func, old_data), 0);
}

TEST(Hdf5Attributes, FixedLengthStringsOfEveryPaddingRead) {
  auto image = NewImage::create();
  ASSERT_TRUE(image.has_value());
  const auto add = [&](const char* name, H5T_str_t pad, std::string_view stored) {
    const Datatype type(H5Tcopy(H5T_C_S1));
    ASSERT_GE(H5Tset_size(type.get(), stored.size()), 0);
    ASSERT_GE(H5Tset_strpad(type.get(), pad), 0);
    const Dataspace space(H5Screate(H5S_SCALAR));
    const Attribute attribute(H5Acreate2(image->id(), name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT));
    ASSERT_TRUE(attribute.valid());
    ASSERT_GE(H5Awrite(attribute.get(), type.get(), stored.data()), 0);
  };
  add("nullterm", H5T_STR_NULLTERM, std::string_view("2\0xx", 4));
  add("nullpad", H5T_STR_NULLPAD, std::string_view("12\0\0", 4));
  add("spacepad", H5T_STR_SPACEPAD, "car   ");
  auto bytes = std::move(*image).finish();
  ASSERT_TRUE(bytes.has_value());
  auto file = OpenImage::open(bytes->bytes());
  ASSERT_TRUE(file.has_value());
  const auto text_of = [&](const char* name) {
    auto attribute = open_attribute(file->id(), name);
    EXPECT_TRUE(attribute.has_value());
    auto value = read_attribute(attribute->get());
    EXPECT_TRUE(value.has_value());
    EXPECT_EQ(value->kind, AttributeValue::Kind::Text);
    return value->texts.empty() ? std::string("<none>") : value->texts.front();
  };
  EXPECT_EQ(text_of("nullterm"), "2");
  EXPECT_EQ(text_of("nullpad"), "12");
  EXPECT_EQ(text_of("spacepad"), "car");
}

TEST(Hdf5Attributes, ListLargerThanAnObjectHeaderMessage) {
  std::vector<std::string> labels;
  for (int i = 0; i < 10'000; ++i) labels.push_back("c" + std::to_string(i));
  auto image = NewImage::create();
  ASSERT_TRUE(image.has_value());
  {
    auto group = create_group(image->id(), "wide");
    ASSERT_TRUE(group.has_value());
    ASSERT_TRUE(write_text_list_attribute(group->get(), "components", labels).has_value());
    ASSERT_TRUE(write_text_attribute(group->get(), "after", "ok").has_value());
  }
  auto bytes = std::move(*image).finish();
  ASSERT_TRUE(bytes.has_value());
  const ImageOnDisk disk(std::move(*bytes).to_vector());
  const File file = disk.open();
  ASSERT_TRUE(file.valid());
  auto group = open_group(file.get(), "wide");
  ASSERT_TRUE(group.has_value());
  auto names = list_attributes(group->get(), Order::ByCreation);
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(*names, (std::vector<std::string>{"components", "after"}));
  auto attribute = open_attribute(group->get(), "components");
  ASSERT_TRUE(attribute.has_value());
  auto value = read_attribute(attribute->get());
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->texts, labels);
}

// The reader resolves variable-length texts itself through a conversion it
// registers for the call; one left registered would stay in the library's
// table for the life of the process, one more on every read.
TEST(Hdf5Attributes, VariableStringsReadOurWayLeaveNoConversionRegistered) {
  const Bytes image = sample_image();
  auto file = OpenImage::open(image);
  ASSERT_TRUE(file.has_value());
  std::optional<GlobalHeaps> heaps = GlobalHeaps::of(image);
  ASSERT_TRUE(heaps.has_value());
  for (int read = 0; read < 2; ++read) {
    auto attribute = open_attribute(file->id(), "list");
    ASSERT_TRUE(attribute.has_value());
    auto texts = read_variable_strings(attribute->get(), "list", &*heaps, 3);
    ASSERT_TRUE(texts.has_value()) << error_text(texts.error());
    ASSERT_TRUE(texts->has_value());
    EXPECT_EQ(**texts, (std::vector<std::string>{"x", "y", "zürich"}));
  }
  const Datatype text(H5Tcopy(H5T_C_S1));
  ASSERT_GE(H5Tset_size(text.get(), H5T_VARIABLE), 0);
  // Sized as a text in memory, so that the conversion would accept the pair.
  const Datatype references(H5Tcreate(H5T_OPAQUE, sizeof(char*)));
  ASSERT_GE(H5Tset_tag(references.get(), "quillrun: variable-length string references as stored"), 0);
  H5T_cdata_t* cdata = nullptr;
  const ErrorPrintingOff quiet;
  EXPECT_EQ(H5Tfind(text.get(), references.get(), &cdata), nullptr);
  (void)H5Eclear2(H5E_DEFAULT);
}

}  // namespace
}  // namespace quillrun::h5
