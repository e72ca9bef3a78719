// Directory batch conversion: by content, named by stem, failures kept
// apart; crashes and hangs isolated, interrupted batches resumed.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#ifndef _WIN32
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include "fixtures.h"
#include "internal.h"
#include "lumetra.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

// The mixed input directory of the batch tests.
std::string mixed_input() {
  const std::string in = fresh_dir("batch_in");
  for (const char* n : {"photo.heic", "snapshot.dat", "a.b.heic", ".heic", "a.heic", "a.HEIF", ".secret.heic",
                        "readonly.heic", "noext"})
    copy_heif(in + "/" + n);
  fs::permissions(in + "/readonly.heic", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  write_jpeg(in + "/fake.heic", 8, 8);
  write_file(in + "/notes.txt", Bytes(30, 'n'));
  fs::create_directories(in + "/sub");
  fs::create_directories(in + "/x.heic");
  copy_heif(in + "/sub/inside.heic");  // never entered
#ifndef _WIN32                         // links need privileges on Windows
  fs::create_symlink(in + "/photo.heic", in + "/link.heic");
  fs::create_symlink(in + "/sub", in + "/dirlink");
#endif
  return in;
}

#ifdef _WIN32
constexpr int kLinks = 0;
const std::set<std::string> kStems = {"photo", "snapshot", "a.b", "", "a", ".secret", "readonly", "noext"};
#else
constexpr int kLinks = 1;  // link.heic
const std::set<std::string> kStems = {"photo", "snapshot", "a.b", "", "a", ".secret", "readonly", "noext", "link"};
#endif

std::set<std::string> with_ext(const std::string& ext) {
  std::set<std::string> out;
  for (const std::string& s : kStems) out.insert(s + "." + ext);
  return out;
}

}  // namespace

TEST(Batch, ConvertsByContentAndNamesByStem) {
  const std::string in = mixed_input();
  for (const int format : {0, 2, -1, 1}) {
    const std::string out = fresh_dir("batch_out");
    lumetra_to_png(nullptr, nullptr);  // leave a message behind
    EXPECT_EQ(lumetra_batch(in.c_str(), out.c_str(), format, 0), 9 + kLinks) << format;
    EXPECT_STREQ(lumetra_last_error(), "");
    EXPECT_EQ(names_in(out), with_ext(format == 1 ? "png" : "jpg")) << format;
  }
  // Quality passes through: 0 is the default 90.
  const std::string out = fresh_dir("batch_q");
  const std::string ref = scratch_path("batch_ref.jpg");
  ASSERT_EQ(lumetra_to_jpg(heif_source().c_str(), ref.c_str(), 90), 1);
  ASSERT_EQ(lumetra_batch(in.c_str(), out.c_str(), 0, 0), 9 + kLinks);
  EXPECT_TRUE(read_file(out + "/photo.jpg") == read_file(ref));
  ASSERT_EQ(lumetra_batch(in.c_str(), out.c_str(), 0, 20), 9 + kLinks);
  EXPECT_FALSE(read_file(out + "/photo.jpg") == read_file(ref));
}

TEST(Batch, DirectoriesAndFailures) {
  const std::string empty = fresh_dir("batch_empty");
  const std::string out = fresh_dir("batch_out2");
  EXPECT_EQ(lumetra_batch(empty.c_str(), out.c_str(), 1, 0), 0);
  EXPECT_STREQ(lumetra_last_error(), "");

  const std::string only_other = fresh_dir("batch_other");
  fs::create_directories(only_other + "/d1");
  write_png(only_other + "/p.heic", 4, 4, 3);
  EXPECT_EQ(lumetra_batch(only_other.c_str(), out.c_str(), 1, 0), 0);
  EXPECT_STREQ(lumetra_last_error(), "");
  EXPECT_TRUE(names_in(out).empty());

  EXPECT_EQ(lumetra_batch(nullptr, out.c_str(), 1, 0), -1);
  EXPECT_STREQ(lumetra_last_error(), "Invalid directory paths for lumetra_batch");
  EXPECT_EQ(lumetra_batch(empty.c_str(), nullptr, 1, 0), -1);
  EXPECT_STREQ(lumetra_last_error(), "Invalid directory paths for lumetra_batch");
  EXPECT_EQ(lumetra_batch("/nonexistent/dir", out.c_str(), 1, 0), -1);
  EXPECT_STREQ(lumetra_last_error(), "Failed opening input directory");
  EXPECT_EQ(lumetra_batch(heif_source().c_str(), out.c_str(), 1, 0), -1);
  EXPECT_STREQ(lumetra_last_error(), "Failed opening input directory");

  // A missing output directory: every conversion fails, the batch does not.
  const std::string in = fresh_dir("batch_in2");
  copy_heif(in + "/one.heic");
  copy_heif(in + "/two.heic");
  EXPECT_EQ(lumetra_batch(in.c_str(), "/nonexistent/out", 0, 90), 0);
  EXPECT_STREQ(lumetra_last_error(), "");

  // Some fail, some succeed: only successes count.
  Bytes broken = read_file(heif_source());
  broken.resize(broken.size() / 2);
  write_file(in + "/broken.heic", broken);
  EXPECT_EQ(lumetra_batch(in.c_str(), out.c_str(), 1, 0), 2);
  EXPECT_STREQ(lumetra_last_error(), "");
}

TEST(Batch, SameDirectoryNeverLosesASource) {
  const std::string dir = fresh_dir("batch_same");
  copy_heif(dir + "/good.heic");
  copy_heif(dir + "/photo.jpg");  // a HEIF file under a JPEG name
  const Bytes original = read_file(dir + "/photo.jpg");
  EXPECT_EQ(lumetra_batch(dir.c_str(), dir.c_str(), 0, 90), 1);
  EXPECT_TRUE(read_file(dir + "/photo.jpg") == original);
  EXPECT_EQ(lumetra_is_heic((dir + "/photo.jpg").c_str()), 1);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"good.heic", "good.jpg", "photo.jpg"}));
  // A second pass meets good.jpg, which is not HEIF.
  EXPECT_EQ(lumetra_batch(dir.c_str(), dir.c_str(), 0, 90), 1);
  // The same directory spelled differently is still the same file.
  EXPECT_EQ(lumetra_batch(dir.c_str(), (dir + "/.").c_str(), 0, 90), 1);
  EXPECT_TRUE(read_file(dir + "/photo.jpg") == original);
  // PNG output of the misnamed file is fine: photo.png is another file.
  EXPECT_EQ(lumetra_batch(dir.c_str(), dir.c_str(), 1, 0), 2);
}

TEST(Batch, CutPathsAreNeverUsed) {
  const std::string in = fresh_dir("batch_cut_in");
  copy_heif(in + "/photo.heic");
  const std::string out = fresh_dir("batch_cut_out");
  // Pad the output directory with "/." so the output path is cut inside
  // the stem: "<out>/./././ph" would name a real, writable file.
  std::string padded = out;
  const size_t want = 4096 - 1 - 3;  // space left for "/ph" only
  while (padded.size() + 2 <= want) padded += "/.";
  if (padded.size() < want) padded += "/";
  ASSERT_LT(padded.size(), 4096u);
  EXPECT_EQ(lumetra_batch(in.c_str(), padded.c_str(), 0, 90), 0);
  EXPECT_STREQ(lumetra_last_error(), "");
  EXPECT_TRUE(names_in(out).empty());

  // The listing request has its own bound: a directory name that would be
  // cut there is refused, not listed in part.
  const std::string long_in = "/nonexistent/" + std::string(300, 'd');
  EXPECT_EQ(lumetra_batch(long_in.c_str(), out.c_str(), 0, 90), -1);
  EXPECT_STREQ(lumetra_last_error(), "Failed opening input directory");
}

TEST(Batch, CallbackSeesEveryEntry) {
  const std::string in = mixed_input();
  const std::string out = fresh_dir("batch_cb");
  struct Seen {
    int converted = 0, not_heif = 0, other = 0;
  } seen;
  const int n = batch_walk(
      in.c_str(), out.c_str(), 1, 0,
      [](const BatchEntry& e, void* user) {
        auto* s = static_cast<Seen*>(user);
        if (e.outcome == BatchOutcome::Converted)
          ++s->converted;
        else if (e.outcome == BatchOutcome::NotHeif)
          ++s->not_heif;
        else
          ++s->other;
      },
      &seen);
  EXPECT_EQ(n, 9 + kLinks);
  EXPECT_EQ(seen.converted, 9 + kLinks);
  EXPECT_EQ(seen.not_heif, 2);  // fake.heic, notes.txt
  EXPECT_EQ(seen.other, 0);
  EXPECT_EQ(batch_count_candidates(in.c_str()), 11 + kLinks);
}

// The pretend decoder fault (LD_PRELOAD), fork and signals are POSIX; the
// Windows build's batch workers are checked by the tests above.
#ifndef _WIN32
namespace {

// The tool with the pretend decoder fault preloaded.
CliRun run_faulty_cli(const std::string& args) {
  // In the sanitizer builds the pretend SIGSEGV must kill the worker as it
  // would in the field, not be turned into a sanitizer report and an abort.
  return run_cli_env("LD_PRELOAD=" LUMETRA_FAULT_SHIM
                     " ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0:handle_segv=0"
                     " TSAN_OPTIONS=handle_segv=0",
                     args);
}

int temp_files_under(const std::string& dir) {
  int n = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    n += e.path().filename().string().find(".lumetra-") != std::string::npos;
  return n;
}

}  // namespace

TEST(BatchAtScale, CrashesAndHangsAreIsolatedInARecursiveWalk) {
  const std::string in = fresh_dir("scale_in");
  for (const char* n : {"a.heic", "b-CRASH.heic", "c-HANG.heic", "d.heic"}) copy_heif(in + "/" + n);
  fs::create_directories(in + "/sub/deeper");
  copy_heif(in + "/sub/e.heic");
  copy_heif(in + "/sub/deeper/f.heic");
  write_file(in + "/sub/notes.txt", Bytes(10, 'n'));
  fs::create_symlink("..", in + "/sub/loop");              // a loop: never followed
  fs::create_symlink(scratch_dir(), in + "/sub/outside");  // leaves IN: never followed
  const std::string out = in + "/out";                     // OUT inside IN: never walked
  fs::create_directories(out);
  copy_heif(out + "/old.heic");

  const CliRun r = run_faulty_cli("batch " + in + " " + out + " -r -j 3 --timeout 2");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "converted 4, skipped 1 (not HEIF), skipped 0 (exists), failed 2\n") << r.err;
  // One line per failed file, in the order of the files.
  EXPECT_EQ(r.err, in + "/b-CRASH.heic: crashed (signal 11)\n" + in + "/c-HANG.heic: timed out after 2 s\n");
  for (const char* f : {"a.jpg", "d.jpg", "sub/e.jpg", "sub/deeper/f.jpg"})
    EXPECT_TRUE(file_exists(out + "/" + f)) << f;
  for (const char* f : {"b-CRASH.jpg", "c-HANG.jpg", "out", "old.jpg", "sub/loop", "sub/outside"})
    EXPECT_FALSE(fs::exists(out + "/" + f)) << f;
  EXPECT_EQ(temp_files_under(out), 0);

  // More workers than files; the non-recursive walk leaves sub/ alone.
  const std::string flat = fresh_dir("scale_flat");
  const CliRun f = run_cli("batch " + in + "/sub " + flat + " -j 16 --png");
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(f.out, "converted 1, skipped 1 (not HEIF), skipped 0 (exists), failed 0\n");
  EXPECT_EQ(names_in(flat), (std::set<std::string>{"e.png"}));
}

TEST(BatchAtScale, InterruptedBatchResumesWithSkipExisting) {
  const std::string in = fresh_dir("resume_in"), out = fresh_dir("resume_out");
  for (const char* n : {"a.heic", "b.heic", "c-HANG.heic", "d.heic", "e.heic"}) copy_heif(in + "/" + n);
  const std::string o = scratch_path("resume.out"), e = scratch_path("resume.err");
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("LD_PRELOAD", LUMETRA_FAULT_SHIM, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0:handle_segv=0", 1);
    setenv("TSAN_OPTIONS", "handle_segv=0", 1);
    const std::string cmd =
        "exec " + std::string(LUMETRA_CLI) + " batch " + in + " " + out + " -j 1 --timeout 0 >" + o + " 2>" + e;
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // a and b convert, then the worker hangs on c: interrupt the batch.
  for (int i = 0; i < 200 && !(file_exists(out + "/b.jpg")); ++i) usleep(50 * 1000);
  usleep(300 * 1000);
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  const Bytes summary = read_file(o);
  EXPECT_EQ(std::string(summary.begin(), summary.end()),
            "converted 2, skipped 0 (not HEIF), skipped 0 (exists), failed 1\n");
  EXPECT_EQ(names_in(out), (std::set<std::string>{"a.jpg", "b.jpg"}));

  // The same command again, without the fault, finishes the job.
  const CliRun r = run_cli("batch " + in + " " + out + " --skip-existing");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "converted 3, skipped 0 (not HEIF), skipped 2 (exists), failed 0\n");
  EXPECT_EQ(names_in(out), (std::set<std::string>{"a.jpg", "b.jpg", "c-HANG.jpg", "d.jpg", "e.jpg"}));
}
#endif  // !_WIN32
