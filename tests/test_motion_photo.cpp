// Motion photos: a small HEIF made by libheif with an MP4 of distinct bytes
// kept after it (in an mpvd box, or appended as it is and located by the
// picture's XMP). The detailed report's offsets are checked against the
// ones each case computes while building its file, the video written by
// convert --with-aux against the appended bytes, and heif-info (where it
// runs) still reads the picture.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "fixtures.h"
#include "heif_info.h"
#include "json_reader.h"
#include "lumetra.h"
#include "tool_run.h"

namespace {

void put32(Bytes* b, uint64_t v) {
  for (int i = 3; i >= 0; --i) b->push_back(uint8_t(v >> (8 * i)));
}
void put_type(Bytes* b, const char* type) { b->insert(b->end(), type, type + 4); }
void append(Bytes* b, const Bytes& more) { b->insert(b->end(), more.begin(), more.end()); }

// An ftyp box, then an mdat box of bytes that repeat nowhere nearby.
Bytes synthetic_mp4(bool quicktime) {
  Bytes mp4;
  put32(&mp4, 24);
  put_type(&mp4, "ftyp");
  put_type(&mp4, quicktime ? "qt  " : "isom");
  put32(&mp4, 0x200);
  put_type(&mp4, "isom");
  put_type(&mp4, "mp41");
  const size_t payload = 1531;
  put32(&mp4, 8 + payload);
  put_type(&mp4, "mdat");
  for (size_t i = 0; i < payload; ++i) mp4.push_back(uint8_t((i * 131 + i / 256 * 7 + 11) & 0xFF));
  return mp4;
}

const char kXmpOpen[] =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">";
const char kXmpClose[] = "</rdf:RDF></x:xmpmeta>";

// Google's container directory: Primary, then the video, then the items
// given after it, under the prefixes given.
std::string directory_xmp(const std::string& c, const std::string& i, const std::string& video_length,
                          const std::string& after, const std::string& camera) {
  return std::string(kXmpOpen) +
         "<rdf:Description rdf:about=\"\"\n xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\"\n" +
         " xmlns:" + c + "=\"http://ns.google.com/photos/1.0/container/\"\n xmlns:" + i +
         "='http://ns.google.com/photos/1.0/container/item/'" + camera + ">\n<" + c + ":Directory><rdf:Seq>\n" +
         "<rdf:li rdf:parseType=\"Resource\"><" + c + ":Item " + i + ":Mime=\"image/heic\" " + i +
         ":Semantic=\"Primary\" " + i + ":Length=\"0\" " + i + ":Padding=\"0\"/></rdf:li>\n" +
         "<rdf:li rdf:parseType=\"Resource\"><" + c + ":Item " + i + ":Mime=\"video/mp4\" " + i +
         ":Semantic=\"MotionPhoto\" " + i + ":Length=\"" + video_length + "\"/></rdf:li>\n" + after + "</rdf:Seq></" +
         c + ":Directory></rdf:Description>" + kXmpClose;
}

struct Built {
  Bytes file;
  Bytes video;  // empty: the file holds no video the library may report
  size_t offset = 0;
  std::string mime = "video/mp4";
  long timestamp = -1;
};

// The video appended raw at the file's end, where the reader must find it.
void video_at_end(Bytes* f, const Bytes& mp4, Built* b, long timestamp = -1) {
  b->offset = f->size();
  append(f, mp4);
  b->video = mp4;
  b->timestamp = timestamp;
}

struct MotionCase {
  const char* name;
  std::string (*xmp)(size_t video_size);  // nullptr: no XMP
  void (*finish)(Bytes* file, const Bytes& mp4, Built* built);
  bool all_images = false;  // convert with --all too: the primary's stem is OUT-1
  bool quicktime = false;
};

void PrintTo(const MotionCase& c, std::ostream* os) { *os << c.name; }

void tail_mpvd(Bytes* f, const Bytes& mp4, Built* b, int form) {
  const size_t start = f->size();
  if (form == 1) {  // 64-bit largesize
    put32(f, 1);
    put_type(f, "mpvd");
    put32(f, 0);
    put32(f, 16 + mp4.size());
  } else {  // 0: to the end of the file; else the 32-bit size
    put32(f, form == 0 ? 0 : 8 + mp4.size());
    put_type(f, "mpvd");
  }
  append(f, mp4);
  b->video = mp4;
  b->offset = start + (form == 1 ? 16 : 8);
}

const std::vector<MotionCase> kCases = {
    {"SamsungMpvdBox", nullptr, [](Bytes* f, const Bytes& mp4, Built* b) { tail_mpvd(f, mp4, b, 2); }, true},
    // A QuickTime brand and no XMP: the brand names the media type.
    {"MpvdLargeSizeQuickTime", nullptr, [](Bytes* f, const Bytes& mp4, Built* b) { tail_mpvd(f, mp4, b, 1); }, false,
     true},
    {"MpvdToFileEnd", nullptr, [](Bytes* f, const Bytes& mp4, Built* b) { tail_mpvd(f, mp4, b, 0); }},
    {"MpvdWithGoogleXmp",
     [](size_t n) {
       return directory_xmp("Container", "Item", std::to_string(n), "",
                            " GCamera:MotionPhoto=\"1\" GCamera:MotionPhotoPresentationTimestampUs=\"966000\"");
     },
     [](Bytes* f, const Bytes& mp4, Built* b) {
       tail_mpvd(f, mp4, b, 2);
       b->timestamp = 966000;
     }},
    {"ContainerDirectory",
     [](size_t n) {
       return directory_xmp("Container", "Item", std::to_string(n), "",
                            " GCamera:MotionPhoto=\"1\" GCamera:MotionPhotoVersion=\"1\""
                            " GCamera:MotionPhotoPresentationTimestampUs=\"1234567\"");
     },
     [](Bytes* f, const Bytes& mp4, Built* b) { video_at_end(f, mp4, b, 1234567); }},
    // GContainer prefixes, the timestamp as an element, and a further item
    // (with padding) after the video: its bytes come last.
    {"GContainerItemAfterVideo",
     [](size_t n) {
       return directory_xmp("GContainer", "GContainerItem", " " + std::to_string(n) + " ",
                            "<rdf:li rdf:parseType=\"Resource\"><GContainer:Item GContainerItem:Mime=\"image/jpeg\" "
                            "GContainerItem:Semantic=\"Depth\" GContainerItem:Length=\"300\" "
                            "GContainerItem:Padding=\"5\"/></rdf:li>\n",
                            "><GCamera:MotionPhotoPresentationTimestampUs>42</"
                            "GCamera:MotionPhotoPresentationTimestampUs");
     },
     [](Bytes* f, const Bytes& mp4, Built* b) {
       video_at_end(f, mp4, b, 42);
       f->insert(f->end(), 305, 0xA5);
     },
     true},
    // Thousands of items after the video, none with padding: read in
    // linear time, their zero lengths leave the video at the file's end.
    {"LongDirectory",
     [](size_t n) {
       std::string after;
       for (int k = 0; k < 30000; ++k) {
         after +=
             "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"Extra\" "
             "Item:Length=\"0\"/></rdf:li>\n";
       }
       return directory_xmp("Container", "Item", std::to_string(n), after, "");
     },
     [](Bytes* f, const Bytes& mp4, Built* b) { video_at_end(f, mp4, b); }},
    {"MicroVideoOffset",
     [](size_t n) {
       return std::string(kXmpOpen) +
              "<rdf:Description xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\" GCamera:MicroVideo=\"1\" "
              "GCamera:MicroVideoVersion=\"1\" GCamera:MicroVideoOffset=\"" +
              std::to_string(n) + "\" GCamera:MicroVideoPresentationTimestampUs=\"1331607\"/>" + kXmpClose;
     },
     [](Bytes* f, const Bytes& mp4, Built* b) { video_at_end(f, mp4, b, 1331607); }},
    {"LengthBeyondFile",
     [](size_t n) { return directory_xmp("Container", "Item", std::to_string(n + 1000000), "", ""); },
     [](Bytes* f, const Bytes& mp4, Built*) { append(f, mp4); }},
    {"NoFtypAtOffset",
     [](size_t n) {
       return std::string(kXmpOpen) +
              "<rdf:Description xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\" GCamera:MicroVideoOffset=\"" +
              std::to_string(n) + "\"/>" + kXmpClose;
     },
     [](Bytes* f, const Bytes& mp4, Built*) {
       const size_t at = f->size();
       append(f, mp4);
       (*f)[at + 7] = 'q';  // "ftyq"
     }},
    // An offset of the whole file points at the picture's own ftyp.
    {"OffsetIsWholeFile",
     [](size_t n) {
       return std::string(kXmpOpen) +
              "<rdf:Description xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\" GCamera:MicroVideoOffset=\"" +
              std::to_string(n) + "\"/>" + kXmpClose;
     },
     nullptr},
    {"HugeMpvdSize", nullptr,
     [](Bytes* f, const Bytes& mp4, Built*) {
       put32(f, 0xFFFFFFF0u);
       put_type(f, "mpvd");
       append(f, mp4);
     }},
};

// The case's file; its XMP sizes may depend on the video's, and the
// OffsetIsWholeFile case's on the whole file's (found by iterating).
Built build(const MotionCase& c, Bytes* plain) {
  const Bytes mp4 = synthetic_mp4(c.quicktime);
  HeifRecipe r;
  r.width = 32, r.height = 24;
  Built b;
  size_t size = mp4.size();
  for (int round = 0; round < 4; ++round) {
    if (c.xmp != nullptr) r.xmp_text = c.xmp(size);
    const std::string base = scratch_path(std::string("motion-") + c.name + "-base.heic");
    write_heif(base, r);
    *plain = read_file(base);
    b = Built();
    b.file = *plain;
    b.mime = c.quicktime ? "video/quicktime" : "video/mp4";
    if (c.finish != nullptr) {
      c.finish(&b.file, mp4, &b);
      return b;
    }
    if (b.file.size() == size) return b;  // OffsetIsWholeFile: the XMP names the file's own size
    size = b.file.size();
  }
  ADD_FAILURE() << c.name << ": the file's size and the one its XMP names never agreed";
  return b;
}

class MotionPhoto : public ::testing::TestWithParam<MotionCase> {};

TEST_P(MotionPhoto, ReportedAndWrittenByteForByte) {
  const MotionCase& c = GetParam();
  Bytes plain;
  const Built b = build(c, &plain);
  const std::string dir = fresh_dir(std::string("motion-") + c.name);
  const std::string in = dir + "/in.heic";
  write_file(in, b.file);

  const char* text = lumetra_info_detail(in.c_str());
  ASSERT_NE(text, nullptr) << lumetra_last_error();
  bool parsed = false;
  const Json doc = parse_json(text, &parsed);
  ASSERT_TRUE(parsed) << text;
  ASSERT_EQ(doc["images"].items.size(), 1u);
  const Json& mp = doc["motion_photo"];
  if (b.video.empty()) {
    EXPECT_EQ(mp.kind, Json::Null) << text;
  } else {
    ASSERT_EQ(mp.kind, Json::Object) << text;
    EXPECT_EQ(static_cast<size_t>(mp["offset"].number), b.offset);
    EXPECT_EQ(static_cast<size_t>(mp["length"].number), b.video.size());
    EXPECT_EQ(mp["mime"].text, b.mime);
    EXPECT_EQ(static_cast<long>(mp["presentation_timestamp_us"].number), b.timestamp);
  }

  const std::string out_dir = fresh_dir(std::string("motion-") + c.name + "-out");
  const std::string out = out_dir + kSep + "shot.jpg";
  const CliRun run = run_cli("convert " + in + " " + out + " --with-aux" + (c.all_images ? " --all" : ""));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out + run.err, "");
  const std::string stem = c.all_images ? "shot-1" : "shot";
  std::set<std::string> want = {stem + ".jpg"};
  if (!b.video.empty()) want.insert(stem + "-video.mp4");
  EXPECT_EQ(names_in(out_dir), want);
  if (!b.video.empty()) {
    EXPECT_TRUE(read_file(out_dir + "/" + stem + "-video.mp4") == b.video) << "video bytes differ";
  }
  const Raster picture = stb_load(out_dir + "/" + stem + ".jpg");
  EXPECT_EQ(picture.width, 32);
  EXPECT_EQ(picture.height, 24);

  // heif-info reads the picture past the appended bytes, where it runs.
  write_file(dir + "/plain.heic", plain);
  if (!file_facts(heif_info_text(dir + "/plain.heic")).images.empty()) {
    const PrimaryFacts facts = primary_facts(heif_info_text(in));
    EXPECT_TRUE(facts.ok) << heif_info_text(in);
    EXPECT_EQ(facts.width, 32);
    EXPECT_EQ(facts.height, 24);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, MotionPhoto, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<MotionCase>& i) { return std::string(i.param.name); });

// A video that cannot be written fails the call with its name, as an
// auxiliary image would; the picture is written all the same.
TEST(MotionPhotoWrite, FailureNamesTheVideo) {
  Bytes plain;
  const Built b = build(kCases[0], &plain);
  const std::string dir = fresh_dir("motion-write-failure");
  const std::string in = dir + "/in.heic", out = dir + "/shot.jpg", video = dir + "/shot-video.mp4";
  write_file(in, b.file);
  std::filesystem::create_directories(video + "/occupied");
  EXPECT_EQ(lumetra_convert(in.c_str(), out.c_str(), 0, LUMETRA_WITH_AUX), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), video + ": Failed writing video output file");
  EXPECT_EQ(stb_load(out).width, 32);
  EXPECT_TRUE(std::filesystem::is_directory(video + "/occupied"));
}

}  // namespace
