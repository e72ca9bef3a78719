// The lumetra command-line tool: help, usage, single-file jobs, the batch's
// summary and its progress on a terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "fixtures.h"
#include "lumetra.h"
#include "tool_run.h"

TEST(Cli, HelpVersionAndUsage) {
  CliRun r = run_cli("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "lumetra 1.")) << r.out;
  r = run_cli("--help");
  EXPECT_EQ(r.status, 0);
  for (const char* sub : {"convert", "encode", "thumbnail", "info", "exif", "is-heic", "batch"})
    EXPECT_TRUE(contains(r.out, sub)) << sub;
  r = run_cli("help batch");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "--png"));
  r = run_cli("convert --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.out, "--quality"));

  for (const char* bad :
       {"", "convert only-one", "frobnicate", "batch a b --png --jpg", "convert a b -q x", "help nosuch"}) {
    r = run_cli(bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_TRUE(contains(r.err, "--help")) << bad << ": " << r.err;
  }
}

TEST(Cli, SingleFileJobs) {
  const std::string heif = heif_source();
  const std::string dir = fresh_dir("cli");
  CliRun r = run_cli("convert " + heif + " " + dir + "/o.jpg -q 70");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir + "/o.jpg")[0], 0xFF);
  r = run_cli("convert " + heif + " " + dir + "/o.png");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(stb_load(dir + "/o.png").width, 24);
  r = run_cli("convert /nonexistent.heic " + dir + "/x.png");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "/nonexistent.heic: Failed to read HEIC file '/nonexistent.heic'")) << r.err;
  EXPECT_FALSE(file_exists(dir + "/x.png"));

  r = run_cli("encode " + dir + "/o.png " + dir + "/back.heic -q 60");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lumetra_is_heic((dir + "/back.heic").c_str()), 1);
  // One convert for every direction: raster to HEIF, HEIF to AVIF.
  r = run_cli("convert " + dir + "/o.png " + dir + "/again.heic");
  EXPECT_EQ(r.status, 0) << r.err;
  r = run_cli("convert " + dir + "/again.heic " + dir + "/again.avif --effort fast");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GE(psnr(libheif_decode(dir + "/again.avif", false), stb_load(dir + "/o.png")), 30.0);
  r = run_cli("encode " + dir + "/missing.png " + dir + "/x.heic");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "can't fopen")) << r.err;

  r = run_cli("thumbnail " + heif + " " + dir + "/t.bmp");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir + "/t.bmp")[0], 'B');

  r = run_cli("info " + heif);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(lumetra_info(heif.c_str())) + "\n");
  r = run_cli("info " + heif + " /nonexistent.heic");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, heif + ": {\"width\":24"));
  EXPECT_TRUE(contains(r.err, "/nonexistent.heic: Failed reading HEIC file for info"));

  r = run_cli("exif " + heif);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"ExifPresent\":false}\n");

  r = run_cli("is-heic " + heif);
  EXPECT_EQ(r.status, 0);
  r = run_cli("is-heic " + heif + " " + dir + "/o.png");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, dir + "/o.png: not HEIF"));
}

TEST(Cli, BatchSummaryAndQuietPipe) {
  const std::string in = fresh_dir("cli_batch_in");
  copy_heif(in + "/one.heic");
  copy_heif(in + "/two.dat");
  write_file(in + "/readme.txt", Bytes(20, 'r'));
  const std::string out = fresh_dir("cli_batch_out");
  CliRun r = run_cli("batch " + in + " " + out + " --png");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "converted 2, skipped 1 (not HEIF), skipped 0 (exists), failed 0\n");
  EXPECT_EQ(r.err, "");  // no progress into a pipe
  EXPECT_EQ(names_in(out), (std::set<std::string>{"one.png", "two.png"}));

  Bytes broken = read_file(heif_source());
  broken.resize(broken.size() / 2);
  write_file(in + "/broken.heic", broken);
  r = run_cli("batch " + in + " " + out + " --jpg -q 80");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "converted 2, skipped 1 (not HEIF), skipped 0 (exists), failed 1\n");
  EXPECT_TRUE(contains(r.err, in + kSep + "broken.heic: Failed to ")) << r.err;

  r = run_cli("batch /nonexistent " + out);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "Failed opening input directory"));
}

// script(1) is POSIX.
#ifndef _WIN32
TEST(Cli, BatchProgressOnATerminal) {
  if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "script(1) not installed";
  const std::string in = fresh_dir("cli_tty_in");
  copy_heif(in + "/one.heic");
  copy_heif(in + "/two.heic");
  write_file(in + "/notes.txt", Bytes(10, 'n'));
  const std::string out = fresh_dir("cli_tty_out");
  const std::string log = scratch_path("tty.log");
  // script(1) gives the tool a terminal for stdout and stderr alike.
  const std::string cmd =
      "script -qec \"" + std::string(LUMETRA_CLI) + " batch " + in + " " + out + " --png\" /dev/null >" + log;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const Bytes b = read_file(log);
  const std::string text(b.begin(), b.end());
  EXPECT_TRUE(contains(text, "[2/2] failures: 0, ")) << text;  // files done of total
  EXPECT_TRUE(contains(text, " files/s, about ")) << text;
  EXPECT_TRUE(contains(text, "converted 2, skipped 1 (not HEIF), skipped 0 (exists), failed 0")) << text;
}
#endif  // !_WIN32
