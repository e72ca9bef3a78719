// lumetra: the library's jobs from the shell.
// Exit status: 0 success, 1 when any file failed, 2 for a usage error.
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "arguments.h"
#include "batch_runner.h"
#include "heif_plugins.h"
#include "internal.h"
#include "lumetra.h"
#include "memory_cap.h"
#include "salvage_warning.h"

#ifndef LUMETRA_VERSION
#  define LUMETRA_VERSION "unknown"
#endif

namespace {

// libheif's messages can end in a newline; keep one line per failure.
std::string one_line(const char* message) {
  std::string s = message;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

int report_failure(const std::string& file) {
  std::fprintf(stderr, "%s: %s\n", file.c_str(), one_line(lumetra_last_error()).c_str());
  return 1;
}

// A read that succeeded by dropping hidden images says what it dropped.
void warn_if_salvaged(const std::string& file) {
  const std::string warning = salvage_warning();
  if (!warning.empty()) std::fprintf(stderr, "%s: %s\n", file.c_str(), warning.c_str());
}

int report_outcome(int ok, const std::string& file) {
  if (!ok) return report_failure(file);
  const std::string warning = conversion_warning();
  if (!warning.empty()) std::fprintf(stderr, "%s: %s\n", file.c_str(), warning.c_str());
  return 0;
}

int run_report(const std::vector<std::string>& files, const char* (*call)(const char*)) {
  int status = 0;
  for (const std::string& f : files) {
    const char* json = call(f.c_str());
    if (json == nullptr) {
      status = report_failure(f);
      continue;
    }
    warn_if_salvaged(f);
    if (files.size() > 1) {
      std::printf("%s: %s\n", f.c_str(), json);
    } else {
      std::printf("%s\n", json);
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  use_lumetra_heif_plugins();
  CLI::App app{"lumetra: convert HEIF/HEIC photos to JPEG, PNG or BMP and back, and report what they hold."};
  app.set_version_flag("--version", std::string("lumetra ") + LUMETRA_VERSION);
  app.require_subcommand(1);
  app.fallthrough(false);
  // On Windows CLI11 would read "/name" as an option; a path starting with
  // a slash is a path there too.
  app.allow_windows_style_options(false);

  std::string in, out;
  int quality = 0;
  std::vector<std::string> files;

  bool strip = false, exact = false, deep = false, no_upright = false, sdr = false;
  CLI::App* convert = app.add_subcommand(
      "convert",
      "Convert between HEIF/HEIC/AVIF, JPEG, PNG and BMP (by OUT's extension; other raster sources too), "
      "keeping colour profile, EXIF, XMP and orientation.");
  convert->add_option("IN", in, "Input file: HEIF/HEIC/AVIF, or JPEG/PNG/BMP/GIF/PSD/PIC/PNM/TGA")->required();
  convert->add_option("OUT", out, "Output file: .jpg/.jpeg, .png, .bmp, .heic/.heif/.hif or .avif")->required();
  CLI::Option* convert_q = convert->add_option(
      "-q,--quality", quality, "Quality 1-100 (default: 90 for JPEG; for HEIF/AVIF as good as the source looks)");
  std::string effort = "default";
  convert->add_option("--effort", effort, "HEIF/AVIF encoder effort: fast, default or best (smaller files, slower)")
      ->check(CLI::IsMember({"fast", "default", "best"}));
  convert->add_flag("--no-upright", no_upright,
                    "Raster to HEIF/AVIF: keep the pixels as stored, ignoring the source's EXIF Orientation");
  convert->add_flag("--strip", strip, "Write no metadata");
  convert->add_flag("--deep", deep,
                    "16-bit PNG from a HEIF of more than 8 bits; a 16-bit PNG/PNM source becomes 10-bit HEIF/AVIF");
  CLI::Option* sdr_flag =
      convert->add_flag("--sdr", sdr, "Leave an HDR photo's gain map out (no Ultra HDR JPEG, no HEIF/AVIF gain map)");
  bool hdr_png = false;
  convert
      ->add_flag("--hdr", hdr_png,
                 "PNG: the HDR rendition (gain map at full headroom, PQ or HLG) as 16-bit BT.2100 PQ with cICP and "
                 "cLLI; an SDR photo gives the ordinary PNG")
      ->excludes(sdr_flag);
  CLI::Option* exact_flag = convert->add_flag(
      "--exact", exact, "The original conversion: stb's writers, no metadata (.jpg/.jpeg, .bmp, else PNG)");
  bool all_images = false, with_aux = false;
  convert
      ->add_flag(
          "--all", all_images,
          "Every top-level image, in file order, as OUT's stem + -1, -2, ... + OUT's extension; a .heic/.heif/.hif "
          "or .avif OUT holds them all, the primary first")
      ->excludes(exact_flag);
  convert
      ->add_flag("--with-aux", with_aux,
                 "Also each written image's auxiliary images but alpha (depth, mattes, gain map, ...) as greyscale "
                 "PNG: its stem + -KIND.png")
      ->excludes(exact_flag);

  CLI::App* encode = app.add_subcommand(
      "encode",
      "Encode a file as HEIF (.heic/.heif/.hif) or AVIF (.avif), upright and keeping colour profile, EXIF "
      "and XMP: convert with a HEIF or AVIF output.");
  encode->add_option("IN", in, "Input file: JPEG/PNG/BMP/GIF/PSD/PIC/PNM/TGA, or HEIF/HEIC/AVIF")->required();
  encode->add_option("OUT", out, "Output file: .heic/.heif/.hif or .avif")->required();
  encode->add_option("-q,--quality", quality,
                     "Quality 1-100 (default: as good as the source looks, from a JPEG's own tables; 85 with --exact)");
  encode->add_option("--effort", effort, "Encoder effort: fast, default or best (smaller files, slower)")
      ->check(CLI::IsMember({"fast", "default", "best"}));
  bool deep_source = false;
  encode->add_flag("--deep", deep_source, "A 16-bit PNG/PNM source becomes 10-bit HEIF/AVIF");
  encode->add_flag("--strip", strip, "Write no metadata");
  encode->add_flag("--sdr", sdr, "Leave an HDR photo's gain map out");
  encode->add_flag("--no-upright", no_upright, "Keep the pixels as stored, ignoring the source's EXIF Orientation");
  encode->add_flag("--exact", exact, "The original encoder: HEVC, JPEG EXIF only, any output name");

  int thumbnail_box = 320;
  CLI::App* thumbnail = app.add_subcommand(
      "thumbnail",
      "Write a thumbnail that fits SIZE x SIZE: from an embedded thumbnail whose long side reaches SIZE, "
      "else from the picture, reduced by area averaging (a box filter on the gamma-encoded values).");
  thumbnail->add_option("IN", in, "HEIF input file")->required();
  thumbnail->add_option("OUT", out, "Output file: .jpg/.jpeg, .bmp, anything else PNG")->required();
  thumbnail->add_option("-s,--size", thumbnail_box, "The box the thumbnail fits (default 320)")
      ->check(CLI::Range(1, 4096));

  CLI::App* info = app.add_subcommand("info", "Print a HEIF file's facts as one-line JSON.");
  info->add_option("FILE", files, "HEIF files")->required();
  bool detail = false;
  info->add_flag(
      "--detail", detail,
      "Every image, its transformations, colour profile, thumbnails, auxiliary images, gain map and "
      "metadata, the brands and any salvage, as one JSON document per file (schema in docs/detail-schema.md)");

  CLI::App* exif = app.add_subcommand("exif", "Print a HEIF file's EXIF summary as one-line JSON.");
  exif->add_option("FILE", files, "HEIF files")->required();

  CLI::App* is_heic = app.add_subcommand("is-heic", "Tell whether files are HEIF by content (exit 1 if any is not).");
  is_heic->add_option("FILE", files, "Files to test")->required();

  bool as_png = false, as_jpg = false;
  CLI::App* batch = app.add_subcommand("batch", "Convert every HEIF file of a directory.");
  batch->add_option("INDIR", in, "Input directory")->required();
  batch->add_option("OUTDIR", out, "Output directory (made when missing)")->required();
  CLI::Option* png_flag = batch->add_flag("--png", as_png, "Write PNG files");
  CLI::Option* jpg_flag = batch->add_flag("--jpg", as_jpg, "Write JPEG files (the default)");
  png_flag->excludes(jpg_flag);
  batch->add_option("-q,--quality", quality, "JPEG quality 1-100 (default 90)");
  batch->add_flag("--strip", strip, "Write no metadata");
  batch->add_flag("--sdr", sdr, "JPEG: leave HDR photos' gain maps out (no Ultra HDR JPEG)");
  batch->add_flag("--exact", exact, "The original conversion: stb's writers, no metadata");
  BatchOptions batch_options;
  batch->add_option("-j,--jobs", batch_options.jobs, "Files converted at once, each in its own process (default: CPUs)")
      ->check(CLI::NonNegativeNumber);
  batch
      ->add_option("--timeout", batch_options.timeout_seconds,
                   "Seconds one file may take, 0 for no limit (default 300)")
      ->check(CLI::NonNegativeNumber);
  batch->add_flag("-r,--recursive", batch_options.recursive, "Walk subdirectories and mirror them under OUTDIR");
  batch->add_flag("--skip-existing", batch_options.skip_existing, "Skip files whose output already exists (resume)");
  std::string max_memory;
  const CLI::Validator memory_size(
      [](std::string& text) {
        int64_t bytes = 0;
        return parse_memory_size(text, &bytes) ? std::string() : "not a size: " + text;
      },
      "");
  batch
      ->add_option("--max-memory", max_memory,
                   "Memory cap per worker: bytes or K/M/G (512M, 1.5G), 0 for none (default: the available memory "
                   "shared by the workers, at least 1G); a file that needs more fails alone, 'out of memory'")
      ->type_name("SIZE")
      ->check(memory_size);

  std::string help_topic;
  CLI::App* help = app.add_subcommand("help", "Show help for a subcommand.");
  help->add_option("SUBCOMMAND", help_topic, "Subcommand");

  // Paths reach the library as UTF-8 (on Windows too).
  std::vector<std::string> args = utf8_arguments(argc, argv);
  std::vector<char*> arg_pointers;
  for (std::string& a : args) arg_pointers.push_back(&a[0]);
  try {
    app.parse(static_cast<int>(arg_pointers.size()), arg_pointers.data());
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "lumetra: %s\nRun 'lumetra --help' for usage.\n", e.what());
    return 2;
  }

  if (*help) {
    if (help_topic.empty()) {
      std::printf("%s", app.help().c_str());
      return 0;
    }
    for (CLI::App* sub : app.get_subcommands({})) {
      if (sub->get_name() == help_topic) {
        std::printf("%s", sub->help().c_str());
        return 0;
      }
    }
    std::fprintf(stderr, "lumetra: no such subcommand: %s\nRun 'lumetra --help' for usage.\n", help_topic.c_str());
    return 2;
  }

  const int metadata = strip ? 0 : LUMETRA_KEEP_METADATA;
  const int hdr = sdr ? 0 : LUMETRA_KEEP_HDR;
  const int effort_flag = effort == "fast" ? LUMETRA_EFFORT_FAST : effort == "best" ? LUMETRA_EFFORT_BEST : 0;
  if (*convert) {
    int ok;
    if (exact) {
      ok = convert_q->count() > 0 && output_format_for(out.c_str()) == OutputFormat::Jpeg
               ? lumetra_to_jpg(in.c_str(), out.c_str(), quality)
               : lumetra_to_image(in.c_str(), out.c_str());
    } else {
      ok = lumetra_convert(in.c_str(), out.c_str(), quality,
                           metadata | hdr | effort_flag | (no_upright ? 0 : LUMETRA_UPRIGHT) |
                               (deep ? LUMETRA_KEEP_DEPTH : 0) | (all_images ? LUMETRA_ALL_IMAGES : 0) |
                               (with_aux ? LUMETRA_WITH_AUX : 0) | (hdr_png ? LUMETRA_HDR_PNG : 0));
    }
    return report_outcome(ok, in);
  }
  if (*encode) {
    const int ok = exact ? lumetra_from_image(in.c_str(), out.c_str(), quality)
                         : lumetra_convert(in.c_str(), out.c_str(), quality,
                                           metadata | hdr | effort_flag | (no_upright ? 0 : LUMETRA_UPRIGHT) |
                                               (deep_source ? LUMETRA_KEEP_DEPTH : 0));
    return ok ? 0 : report_failure(in);
  }
  if (*thumbnail) {
    const int ok = thumbnail_fit(in.c_str(), out.c_str(), thumbnail_box);
    return report_outcome(ok, in);
  }
  if (*info) return run_report(files, detail ? lumetra_info_detail : lumetra_info);
  if (*exif) return run_report(files, lumetra_exif);
  if (*is_heic) {
    int status = 0;
    for (const std::string& f : files) {
      const bool yes = lumetra_is_heic(f.c_str()) != 0;
      std::printf("%s: %s\n", f.c_str(), yes ? "HEIF" : "not HEIF");
      if (!yes) status = 1;
    }
    return status;
  }
  if (*batch) {
    batch_options.in_dir = in;
    batch_options.out_dir = out;
    batch_options.png = as_png;
    batch_options.quality = quality;
    batch_options.convert_flags = exact ? -1 : metadata | hdr;
    if (!max_memory.empty()) parse_memory_size(max_memory, &batch_options.max_memory);
    return run_batch(batch_options);
  }
  return 2;
}
