// XMP that describes a gain map or appended images is left out of outputs
// that hold none: packets in the forms writers use, edited by
// remove_gain_map_xmp and read back by exiftool; and an Ultra HDR JPEG
// converted to HEIC, its XMP read with libheif.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include <libheif/heif.h>

#include "fixtures.h"
#include "formats/xmp_gain_map.h"
#include "hdr_fixtures.h"
#include "hdr_reference.h"
#include "lumetra.h"

namespace {

const char kTitle[] = "Sunset over the bay";
const char kOpen[] =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">";
const char kClose[] = "</rdf:RDF></x:xmpmeta>";

std::string title_description() {
  return std::string(
             "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>"
             "<rdf:Alt><rdf:li xml:lang=\"x-default\">") +
         kTitle + "</rdf:li></rdf:Alt></dc:title></rdf:Description>";
}

// Names that must not be left in an output without the appended images.
const char* const kGone[] = {"hdr-gain-map",         "hdrgm:", "ns1:",        "Container:", "GContainer:",
                             "photos/1.0/container", "Item:",  "MotionPhoto", "MicroVideo"};

struct XmpCase {
  const char* name;
  std::string (*packet)();
  std::vector<std::string> kept;  // text that must survive
  bool changes;
};

void PrintTo(const XmpCase& c, std::ostream* os) { *os << c.name; }

// The primary's XMP of an Ultra HDR JPEG the library writes from a HEIF
// whose own XMP has a title.
std::string library_primary_xmp() {
  static const std::string xmp = [] {
    const std::string packet = kOpen + title_description() + kClose;
    const std::string heif = tmap_fixture("xmp-tmap", tmap_payload(TmapValues{}), 128, 96, packet);
    const std::string jpg = scratch_path("xmp-ultrahdr.jpg");
    if (lumetra_convert(heif.c_str(), jpg.c_str(), 90, LUMETRA_KEEP_METADATA | LUMETRA_KEEP_HDR) != 1)
      return std::string();
    UltraHdrParts parts;
    return split_ultrahdr(read_file(jpg), &parts) ? parts.primary_xmp : std::string();
  }();
  return xmp;
}

const XmpCase kXmpCases[] = {
    {"library_ultrahdr_primary", library_primary_xmp, {kTitle, "dc:title"}, true},
    {"android_ultrahdr_multiline",
     [] {
       return std::string(
                  "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\" x:xmptk=\"Adobe XMP Core 5.1.2\">\n"
                  "  <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                  "    <rdf:Description rdf:about=\"\"\n"
                  "        xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
                  "        xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\"\n"
                  "        xmlns:Container=\"http://ns.google.com/photos/1.0/container/\"\n"
                  "        xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\"\n"
                  "      hdrgm:Version=\"1.0\">\n"
                  "      <dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">") +
              kTitle +
              "</rdf:li></rdf:Alt></dc:title>\n"
              "      <Container:Directory>\n"
              "        <rdf:Seq>\n"
              "          <rdf:li rdf:parseType=\"Resource\">\n"
              "            <Container:Item Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\"/>\n"
              "          </rdf:li>\n"
              "          <rdf:li rdf:parseType=\"Resource\">\n"
              "            <Container:Item Item:Semantic=\"GainMap\" Item:Mime=\"image/jpeg\" Item:Length=\"30208\"/>\n"
              "          </rdf:li>\n"
              "        </rdf:Seq>\n"
              "      </Container:Directory>\n"
              "    </rdf:Description>\n"
              "  </rdf:RDF>\n"
              "</x:xmpmeta>\n";
     },
     {kTitle, "x:xmptk=\"Adobe XMP Core 5.1.2\""},
     true},
    {"hdrgm_elements_under_another_prefix",
     [] {
       std::string seq;
       for (const char* name : {"GainMapMin", "GainMapMax", "Gamma"}) {
         seq += std::string("<ns1:") + name + "><rdf:Seq><rdf:li>0.1</rdf:li><rdf:li>0.2</rdf:li><rdf:li>0.3</rdf:li>" +
                "</rdf:Seq></ns1:" + name + ">";
       }
       return kOpen + title_description() +
              "<rdf:Description rdf:about=\"\" xmlns:ns1=\"http://ns.adobe.com/hdr-gain-map/1.0/\""
              " xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" tiff:Orientation=\"1\">"
              "<ns1:Version>1.0</ns1:Version><ns1:HDRCapacityMax>2.0</ns1:HDRCapacityMax>" +
              seq + "</rdf:Description>" + kClose;
     },
     {kTitle, "tiff:Orientation=\"1\""},
     true},
    {"motion_photo_gcontainer",
     [] {
       return kOpen + title_description() +
              "<rdf:Description rdf:about=\"\" xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\""
              " xmlns:GContainer=\"http://ns.google.com/photos/1.0/container/\""
              " xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" GCamera:MotionPhoto=\"1\""
              " GCamera:MotionPhotoVersion=\"1\" GCamera:MotionPhotoPresentationTimestampUs=\"968644\""
              " GCamera:MicroVideoOffset=\"1200\" GCamera:SpecialTypeID=\"p\">"
              "<GContainer:Directory><rdf:Seq><rdf:li rdf:parseType=\"Resource\"><GContainer:Item"
              " Item:Mime=\"image/jpeg\" Item:Semantic=\"Primary\" Item:Length=\"0\" Item:Padding=\"0\"/></rdf:li>"
              "<rdf:li rdf:parseType=\"Resource\"><GContainer:Item Item:Mime=\"video/mp4\""
              " Item:Semantic=\"MotionPhoto\" Item:Length=\"1200\" Item:Padding=\"0\"/></rdf:li></rdf:Seq>"
              "</GContainer:Directory></rdf:Description>" +
              kClose;
     },
     {kTitle, "GCamera:SpecialTypeID=\"p\"", "xmlns:GCamera="},
     true},
    {"nothing_to_remove",
     [] {
       return kOpen + title_description() +
              "<rdf:Description rdf:about=\"\" xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" tiff:Orientation=\"6\"/>" +
              kClose;
     },
     {kTitle, "tiff:Orientation=\"6\""},
     false},
};

class XmpGainMap : public ::testing::TestWithParam<XmpCase> {};

TEST_P(XmpGainMap, LeavesNoAppendedImageDescribed) {
  const XmpCase& c = GetParam();
  const std::string before = c.packet();
  ASSERT_FALSE(before.empty()) << lumetra_last_error();
  ByteBlock xmp(before.begin(), before.end());
  ASSERT_TRUE(remove_gain_map_xmp(&xmp));
  const std::string after(xmp.begin(), xmp.end());
  if (!c.changes) {
    EXPECT_EQ(after, before);
    return;
  }
  EXPECT_NE(after, before);
  for (const char* gone : kGone) EXPECT_EQ(after.find(gone), std::string::npos) << gone << " in " << after;
  for (const std::string& kept : c.kept) EXPECT_NE(after.find(kept), std::string::npos) << kept << " in " << after;
  // exiftool reads the edited packet: well formed, the title kept, nothing
  // of the gain map or the container left.
  if (!have_exiftool()) return;
  const std::string path = scratch_path(std::string("edited-") + c.name + ".xmp");
  write_file(path, Bytes(xmp.begin(), xmp.end()));
  EXPECT_EQ(capture("exiftool -s3 -XMP-dc:Title '" + path + "'"), std::string(kTitle) + "\n");
  const std::string tags = capture("exiftool -a -G1 -s -XMP:all -Warning '" + path + "' 2>&1");
  EXPECT_EQ(tags.find("hdrgm"), std::string::npos) << tags;
  EXPECT_EQ(tags.find("Container"), std::string::npos) << tags;
  EXPECT_EQ(tags.find("Warning"), std::string::npos) << tags;
}

INSTANTIATE_TEST_SUITE_P(Hdr, XmpGainMap, ::testing::ValuesIn(kXmpCases),
                         [](const ::testing::TestParamInfo<XmpCase>& info) { return info.param.name; });

// An Ultra HDR JPEG to HEIC: the HEIC holds no gain map, so its XMP names
// none, and the photo's own properties stay.
TEST(Hdr, UltraHdrJpegToHeicCarriesNoGainMapXmp) {
  const std::string jpg_xmp = library_primary_xmp();
  ASSERT_NE(jpg_xmp.find("hdrgm:Version"), std::string::npos) << lumetra_last_error();
  ASSERT_NE(jpg_xmp.find("Container:Directory"), std::string::npos);
  const std::string jpg = scratch_path("xmp-ultrahdr.jpg"), heic = scratch_path("xmp-ultrahdr.heic");
  ASSERT_EQ(lumetra_convert(jpg.c_str(), heic.c_str(), 80, LUMETRA_KEEP_METADATA), 1) << lumetra_last_error();
  heif_context* ctx = heif_context_alloc();
  ASSERT_EQ(heif_context_read_from_file(ctx, heic.c_str(), nullptr).code, heif_error_Ok);
  heif_image_handle* h = nullptr;
  ASSERT_EQ(heif_context_get_primary_image_handle(ctx, &h).code, heif_error_Ok);
  heif_item_id ids[4];
  const int n = heif_image_handle_get_list_of_metadata_block_IDs(h, "mime", ids, 4);
  std::string xmp;
  if (n == 1) {
    xmp.resize(heif_image_handle_get_metadata_size(h, ids[0]));
    heif_image_handle_get_metadata(h, ids[0], &xmp[0]);
  }
  heif_image_handle_release(h);
  heif_context_free(ctx);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(xmp.find("hdrgm"), std::string::npos) << xmp;
  EXPECT_EQ(xmp.find("hdr-gain-map"), std::string::npos) << xmp;
  EXPECT_EQ(xmp.find("Container:Directory"), std::string::npos) << xmp;
  EXPECT_EQ(xmp.find("GainMap"), std::string::npos) << xmp;
  EXPECT_NE(xmp.find(kTitle), std::string::npos) << xmp;
  if (have_exiftool()) {
    EXPECT_EQ(capture("exiftool -s3 -XMP-dc:Title '" + heic + "'"), std::string(kTitle) + "\n");
  }
}

}  // namespace
