// Every call that opens a HEIF file through the shared opener, given a
// directory: each fails with its own last-error text, libheif's reason
// following where the call adds it.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "fixtures.h"
#include "internal.h"
#include "lumetra.h"

namespace {

struct OpenCase {
  const char* name;
  std::function<bool(const char* in, const char* out)> fails;  // whether the call reports failure
  const char* out_name;
  const char* text;  // "<path>" stands for the input path
  bool reason;       // ": <libheif's reason>" follows the text
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

const char* kNotRegular = "Invalid input: Not a regular file";

class OpenPrimary : public testing::TestWithParam<OpenCase> {};

TEST_P(OpenPrimary, UnreadableInputGivesTheCallsText) {
  const OpenCase& c = GetParam();
  const std::string dir = scratch_dir();
  const std::string out = scratch_path(c.out_name);
  std::string expected = c.text;
  const size_t at = expected.find("<path>");
  if (at != std::string::npos) expected.replace(at, 6, dir);
  if (c.reason) expected += std::string(": ") + kNotRegular;
  ASSERT_TRUE(c.fails(dir.c_str(), out.c_str()));
  EXPECT_EQ(std::string(lumetra_last_error()), expected);
}

const OpenCase kCases[] = {
    {"ToJpg", [](const char* in, const char* out) { return lumetra_to_jpg(in, out, 80) == 0; }, "o.jpg",
     "Failed to read HEIC file '<path>'", true},
    {"ToBmp", [](const char* in, const char* out) { return lumetra_to_bmp(in, out) == 0; }, "o.bmp",
     "Failed to read HEIC file '<path>'", true},
    {"Convert", [](const char* in, const char* out) { return lumetra_convert(in, out, 0, 0) == 0; }, "o.png",
     "Failed to read HEIC file '<path>'", true},
    {"ConvertImage", [](const char* in, const char* out) { return lumetra_convert_image(in, 0, out, 0, 0) == 0; },
     "o.png", "Failed to read HEIC file '<path>'", true},
    {"ConvertEveryImage",
     [](const char* in, const char* out) { return lumetra_convert(in, out, 0, LUMETRA_ALL_IMAGES) == 0; }, "o.png",
     "Failed to read HEIC file '<path>'", true},
    {"Info", [](const char* in, const char*) { return lumetra_info(in) == nullptr; }, "unused",
     "Failed reading HEIC file for info", true},
    {"InfoDetail", [](const char* in, const char*) { return lumetra_info_detail(in) == nullptr; }, "unused",
     "Failed reading HEIC file for info", true},
    {"Exif", [](const char* in, const char*) { return lumetra_exif(in) == nullptr; }, "unused",
     "Failed reading HEIC file for EXIF", false},
    {"Thumbnail", [](const char* in, const char* out) { return lumetra_thumbnail(in, out) == 0; }, "t.jpg",
     "Failed reading HEIC file for thumbnail", false},
    {"ThumbnailFit", [](const char* in, const char* out) { return thumbnail_fit(in, out, 64) == 0; }, "f.jpg",
     "Failed reading HEIC file for thumbnail", true},
};

INSTANTIATE_TEST_SUITE_P(EveryCall, OpenPrimary, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

}  // namespace
