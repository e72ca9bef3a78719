// Writes seed corpora for the fuzz harnesses, made by the test fixtures:
// make_seeds OUTDIR (creates OUTDIR/<harness>/...).
#include <filesystem>
#include <string>

#include "fixtures.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const fs::path root = argv[1];
  for (const char* d :
       {"exif_parse", "jpeg_exif", "detect", "raster_source", "heif_calls", "meta_box", "gain_map_metadata"})
    fs::create_directories(root / d);

  TiffRecipe t;
  t.ifd0 = {ascii_entry(271, "Canon"), ascii_entry(272, "EOS"), short_entry(274, 1, true)};
  t.exif_ifd = {rational_entry(33434, 1, 125, true), rational_entry(33437, 28, 10, true), short_entry(34855, 100, true),
                rational_entry(37386, 50, 1, true)};
  const Bytes tiff = build_tiff(t);
  TiffRecipe mm = t;
  mm.little = false;
  Bytes cap_prefix{0x04, 0x00};  // capacity 1024
  Bytes exif = cap_prefix;
  exif.insert(exif.end(), tiff.begin(), tiff.end());
  write_file((root / "exif_parse/le").string(), exif);
  Bytes exif_mm = cap_prefix;
  const Bytes tiff_mm = build_tiff(mm);
  exif_mm.insert(exif_mm.end(), tiff_mm.begin(), tiff_mm.end());
  write_file((root / "exif_parse/be").string(), exif_mm);

  Bytes payload{'E', 'x', 'i', 'f', 0, 0};
  payload.insert(payload.end(), tiff.begin(), tiff.end());
  write_file((root / "jpeg_exif/exif.jpg").string(), jpeg_with_segments({app_segment(0xE1, payload)}));
  write_file((root / "raster_source/exif.jpg").string(), jpeg_with_segments({app_segment(0xE1, payload)}));

  for (int ch = 1; ch <= 4; ++ch)
    write_png((root / ("raster_source/c" + std::to_string(ch) + ".png")).string(), 9, 7, ch);
  write_jpeg((root / "raster_source/plain.jpg").string(), 12, 8);

  HeifRecipe small;
  small.width = 24, small.height = 16;
  write_heif((root / "heif_calls/rgb.heic").string(), small);
  HeifRecipe rich = small;
  rich.alpha = true;
  rich.thumb_width = 12, rich.thumb_height = 8;
  rich.exif = Bytes{0, 0, 0, 0};
  rich.exif.insert(rich.exif.end(), tiff.begin(), tiff.end());
  rich.xmp = true;
  write_heif((root / "heif_calls/rich.heic").string(), rich);
  fs::copy_file(root / "heif_calls/rgb.heic", root / "detect/rgb.heic", fs::copy_options::overwrite_existing);

  // A grid with a hidden gain-map grid whose tiles lost their hvcC: the
  // salvage read's case, whole and for its box reader.
  GridRecipe grid;
  grid.width = 96, grid.height = 64, grid.tile = 32, grid.thumbnail = true, grid.aux_grid = true;
  const std::string gain_map = (root / "meta_box/gainmap.heic").string();
  write_grid_heif(gain_map, grid);
  Bytes broken = read_file(gain_map);
  const uint32_t aux = grid_aux_item(grid);
  break_hvcc(&broken, {aux + 1, aux + 2});
  write_file((root / "meta_box/broken.heic").string(), broken);
  write_file((root / "heif_calls/broken-gainmap.heic").string(), broken);
  fs::copy_file(root / "heif_calls/rich.heic", root / "meta_box/rich.heic", fs::copy_options::overwrite_existing);
  write_file((root / "detect/ftyp").string(), Bytes{0, 0, 0, 24, 'f', 't', 'y', 'p', 'a', 'v', 'i', 'f',
                                                    0, 0, 0, 0,  'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'});

  // Gain map metadata: a 'tmap' record as phones write it, hdrgm XMP, and
  // Apple's headroom in XMP.
  const Bytes tmap{0,    0,    0, 0,    0,    0x40, 0, 0,    0,    0,    0, 0x0F, 0x42, 0x40, 0, 0x15,
                   0xB8, 0xC9, 0, 0x0F, 0x42, 0x40, 0, 0,    0,    0,    0, 0x0F, 0x42, 0x40, 0, 0x15,
                   0xB8, 0xC9, 0, 0x0F, 0x42, 0x40, 0, 0x0A, 0x23, 0xE7, 0, 0x0F, 0x42, 0x40, 0, 0,
                   0,    0x0A, 0, 0x0F, 0x42, 0x40, 0, 0,    0,    0x0A, 0, 0x0F, 0x42, 0x40};
  write_file((root / "gain_map_metadata/tmap").string(), tmap);
  const std::string hdrgm =
      "<x:xmpmeta><rdf:RDF><rdf:Description xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\" "
      "hdrgm:Version=\"1.0\" hdrgm:GainMapMin=\"0.0\" hdrgm:GainMapMax=\"2.3\" hdrgm:Gamma=\"1.0\" "
      "hdrgm:HDRCapacityMax=\"2.3\"/></rdf:RDF></x:xmpmeta>";
  write_file((root / "gain_map_metadata/hdrgm").string(), Bytes(hdrgm.begin(), hdrgm.end()));
  const std::string apple =
      "<HDRGainMap:HDRGainMapVersion>131072</HDRGainMap:HDRGainMapVersion>"
      "<HDRGainMap:HDRGainMapHeadroom>2.682468</HDRGainMap:HDRGainMapHeadroom>";
  write_file((root / "gain_map_metadata/apple").string(), Bytes(apple.begin(), apple.end()));
  return 0;
}
