// FFmpeg's decoder loaded on demand: with the package's plugin directory
// (libheif's plugins less FFmpeg's, which waits in on-demand/), a process
// that decodes no picture of 10 MP or more never maps libavcodec, and one
// that does decodes it with FFmpeg (libavcodec mapped) into libde265's
// pixels, also when several threads start at once. Each case runs in a
// fresh process: the probe program (the shared library, as a host uses
// it), or the tool, watched through the dynamic loader's own log.
#include <gtest/gtest.h>

#include <string>

#include "fixtures.h"

namespace {

const std::string kSource = LUMETRA_SOURCE_DIR;

// The package's plugin directory, made here by the package's own script.
std::string plugin_dir() {
  static const std::string dir = [] {
    const std::string d = scratch_path("heif-plugins");
    const std::string cmd = kSource + "/tools/heif_plugin_dir.sh '" + LUMETRA_LIBHEIF_PLUGINS + "' '" + d + "'";
    return std::system(cmd.c_str()) == 0 ? d : std::string();
  }();
  return dir;
}

// 1 MP with a thumbnail, and a 12.6 MP grid of one coded 512-pixel tile
// repeated, with a thumbnail.
std::string small_photo() {
  HeifRecipe r;
  r.width = 1152, r.height = 864, r.thumb_width = 320, r.thumb_height = 240;
  return heif_fixture("on-demand-small.heic", r);
}

std::string big_photo() {
  static const std::string path = [] {
    const std::string p = scratch_path("on-demand-big.heic");
    GridRecipe r;
    r.width = 4096, r.height = 3072, r.tile = 512, r.distinct_tiles = false, r.thumbnail = true;
    write_grid_heif(p, r);
    return p;
  }();
  return path;
}

enum class Runner { Probe, Tool };
enum class Plugins { Package, Libheifs };  // which directory LIBHEIF_PLUGIN_PATH names
enum class Check { Nothing, Libde265Pixels, Libde265Jpeg };

struct Case {
  const char* name;
  Runner runner;
  Plugins plugins;
  const char* env;   // more of the environment
  const char* call;  // info, thumbnail, convert
  bool big;
  const char* ext;
  int threads;
  bool avcodec;  // libavcodec mapped afterwards
  Check check;
};

const Case kCases[] = {
    {"InfoOfSmallPhoto", Runner::Probe, Plugins::Package, "", "info", false, ".json", 1, false, Check::Nothing},
    {"ThumbnailOfSmallPhoto", Runner::Probe, Plugins::Package, "", "thumbnail", false, ".jpg", 1, false,
     Check::Nothing},
    {"ConvertSmallPhoto", Runner::Probe, Plugins::Package, "", "convert", false, ".bmp", 1, false,
     Check::Libde265Pixels},
    {"ThumbnailOfBigPhotoDecodesItsThumbnailOnly", Runner::Probe, Plugins::Package, "", "thumbnail", true, ".jpg", 1,
     false, Check::Nothing},
    {"ConvertBigPhoto", Runner::Probe, Plugins::Package, "", "convert", true, ".bmp", 1, true, Check::Libde265Pixels},
    {"ConvertBigPhotoFromThreeThreadsAtOnce", Runner::Probe, Plugins::Package, "", "convert", true, ".jpg", 3, true,
     Check::Libde265Jpeg},
    {"ForcedLibde265NeverLoadsFfmpeg", Runner::Probe, Plugins::Package, "LUMETRA_HEVC_DECODER=libde265", "convert",
     true, ".jpg", 1, false, Check::Nothing},
    {"LibheifsOwnDirectoryLoadsEveryPlugin", Runner::Probe, Plugins::Libheifs, "", "info", false, ".json", 1, true,
     Check::Nothing},
    {"ToolInfoOfSmallPhoto", Runner::Tool, Plugins::Package, "", "info", false, "", 1, false, Check::Nothing},
    {"ToolConvertBigPhoto", Runner::Tool, Plugins::Package, "", "convert", true, ".bmp", 1, true,
     Check::Libde265Pixels},
};

class FfmpegOnDemand : public testing::TestWithParam<Case> {};

// The big photo's JPEG by libde265 alone, written once.
std::string libde265_jpeg() {
  static const std::string path = [] {
    const std::string prefix = scratch_path("de265-");
    const std::string out = capture("LIBHEIF_PLUGIN_PATH='" + plugin_dir() + "' LUMETRA_HEVC_DECODER=libde265 " +
                                    LUMETRA_PLUGIN_PROBE + " convert '" + big_photo() + "' " + prefix + " .jpg 1");
    return out == "ok 1 avcodec 0\n" ? prefix + "0.jpg" : std::string();
  }();
  return path;
}

TEST_P(FfmpegOnDemand, LoadsFfmpegOnlyForBigPictures) {
  const Case& c = GetParam();
  if (!file_exists("/proc/self/maps")) GTEST_SKIP() << "no /proc to see what a process maps";
  if (!file_exists(std::string(LUMETRA_LIBHEIF_PLUGINS) + "/libheif-ffmpegdec.so"))
    GTEST_SKIP() << "FFmpeg's libheif plugin is not installed";
  ASSERT_FALSE(plugin_dir().empty());
  const std::string in = c.big ? big_photo() : small_photo();
  const std::string dir = c.plugins == Plugins::Package ? plugin_dir() : std::string(LUMETRA_LIBHEIF_PLUGINS);
  const std::string env = "LIBHEIF_PLUGIN_PATH='" + dir + "' " + c.env + " ";
  const std::string prefix = scratch_path(std::string(c.name) + "-");
  std::vector<std::string> outputs;
  if (c.runner == Runner::Probe) {
    const std::string said = capture(env + LUMETRA_PLUGIN_PROBE + " " + c.call + " '" + in + "' " + prefix + " " +
                                     c.ext + " " + std::to_string(c.threads));
    EXPECT_EQ(said, "ok " + std::to_string(c.threads) + " avcodec " + (c.avcodec ? "1" : "0") + "\n");
    for (int t = 0; t < c.threads; ++t) outputs.push_back(prefix + std::to_string(t) + c.ext);
  } else {
    // The loader's log names every library whose initialisers it runs.
    const std::string out = std::string(c.call) == "info" ? "" : prefix + "0" + c.ext;
    const std::string log =
        capture(env + "LD_DEBUG=libs " + LUMETRA_CLI + " " + c.call + " '" + in + "' " + out + " 2>&1 >/dev/null");
    ASSERT_NE(log.find("calling init:"), std::string::npos) << "no loader log";
    EXPECT_EQ(log.find("libavcodec") != std::string::npos, c.avcodec);
    if (!out.empty()) outputs.push_back(out);
  }
  if (c.check == Check::Libde265Pixels) {
    // libheif's own choice in this process is libde265 (priority 100 over
    // FFmpeg's 90).
    const Raster reference = libheif_decode(in, false);
    for (const std::string& o : outputs) {
      const Raster got = stb_load(o);
      EXPECT_EQ(got.width, reference.width);
      EXPECT_EQ(got.height, reference.height);
      EXPECT_TRUE(got.pixels == reference.pixels) << o;
    }
  }
  if (c.check == Check::Libde265Jpeg) {
    ASSERT_FALSE(libde265_jpeg().empty());
    const Bytes reference = read_file(libde265_jpeg());
    for (const std::string& o : outputs) EXPECT_TRUE(read_file(o) == reference) << o;
  }
}

INSTANTIATE_TEST_SUITE_P(Processes, FfmpegOnDemand, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
