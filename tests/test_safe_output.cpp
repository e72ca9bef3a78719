// Outputs are written beside their target and renamed into place: a failed
// or killed write leaves the old file as it was and no partial file.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>

#include "fixtures.h"
#include "lumetra.h"

namespace fs = std::filesystem;

namespace {

std::string fresh_dir(const std::string& name) {
  const std::string d = scratch_path(name);
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

// Files of the library's temporary kind left in dir.
int leftovers(const std::string& dir) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    n += e.path().filename().string().find(".lumetra-") != std::string::npos;
  return n;
}

const Bytes kOld(3000, 0x5A);

uint8_t noise(int x, int y, int c) {
  return static_cast<uint8_t>((x * 7919 + y * 104729 + c * 31) * 2654435761u >> 24);
}

std::string noisy_heif() {
  HeifRecipe s;
  s.width = 400, s.height = 300, s.pixel = noise;
  return heif_fixture("safe_noisy.heic", s);
}

struct Outcome {
  int result;
  std::string message;
};

// Runs call in a child whose files may not grow beyond limit bytes.
Outcome with_file_size_limit(rlim_t limit, const std::function<int()>& call) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{limit, limit};
    setrlimit(RLIMIT_FSIZE, &lim);
    const int r = call();
    const std::string m = std::to_string(r) + lumetra_last_error();
    (void)!write(fds[1], m.data(), m.size());
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  if (got.empty()) return {-1, "child died"};
  return {got[0] - '0', got.substr(1)};
}

// What the library's directory syncs saw, while a test watches them.
struct DirSyncWatch {
  std::atomic<bool> on{false};
  std::string target;  // the file whose inode each sync records
  int fail_with = 0;   // errno for a pretend failing sync
  int syncs = 0;
  ino_t directory = 0, target_inode = 0;
} g_dir_syncs;

}  // namespace

// The library is linked into this binary, so its fsync is this one.
extern "C" int fsync(int fd) {
  struct stat st;
  if (g_dir_syncs.on && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    DirSyncWatch& w = g_dir_syncs;
    ++w.syncs;
    w.directory = st.st_ino;
    struct stat target;
    w.target_inode = stat(w.target.c_str(), &target) == 0 ? target.st_ino : 0;
    if (w.fail_with != 0) {
      errno = w.fail_with;
      return -1;
    }
  }
  return static_cast<int>(syscall(SYS_fsync, fd));
}

TEST(SafeOutput, RenameIsSyncedIntoItsDirectory) {
  const std::string heif = noisy_heif();
  const std::string png_src = scratch_path("sync_src.png");
  write_png(png_src, 300, 200, 3, noise);
  const std::string dir = fresh_dir("safe_dirsync");
  const struct {
    const char* name;
    const char* message;  // when the sync fails
    std::function<int(const std::string&)> call;
  } calls[] = {
      {"stb.png", "Failed writing PNG output file",
       [&](const std::string& o) { return lumetra_to_png(heif.c_str(), o.c_str()); }},
      {"libjpeg.jpg", "Failed writing JPEG output file",
       [&](const std::string& o) { return lumetra_convert(heif.c_str(), o.c_str(), 90, LUMETRA_KEEP_METADATA); }},
      {"heif.heic", "Failed writing HEIF file to disk: Cannot write output file: Input/output error",
       [&](const std::string& o) { return lumetra_from_image(png_src.c_str(), o.c_str(), 85); }},
  };
  struct stat dir_st;
  ASSERT_EQ(stat(dir.c_str(), &dir_st), 0);
  for (const auto& c : calls) {
    // No failure, a file system without directory sync, a failing disk.
    for (const int fail_with : {0, EINVAL, EIO}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::strerror(fail_with));
      const std::string out = dir + "/" + c.name;
      write_file(out, kOld);
      struct stat old_st;
      ASSERT_EQ(stat(out.c_str(), &old_st), 0);
      g_dir_syncs.target = out;
      g_dir_syncs.fail_with = fail_with;
      g_dir_syncs.syncs = 0;
      g_dir_syncs.on = true;
      const int result = c.call(out);
      g_dir_syncs.on = false;
      EXPECT_EQ(result, fail_with == EIO ? 0 : 1) << lumetra_last_error();
      if (fail_with == EIO) EXPECT_STREQ(lumetra_last_error(), c.message);
      // One sync, of the output's directory, once the new file had its name;
      // the new file stays even when the sync fails (the old one is gone).
      struct stat new_st;
      ASSERT_EQ(stat(out.c_str(), &new_st), 0);
      EXPECT_EQ(g_dir_syncs.syncs, 1);
      EXPECT_EQ(g_dir_syncs.directory, dir_st.st_ino);
      EXPECT_EQ(g_dir_syncs.target_inode, new_st.st_ino);
      EXPECT_NE(new_st.st_ino, old_st.st_ino);
      EXPECT_TRUE(lumetra_is_heic(out.c_str()) || stb_load(out).width == 400) << "unreadable result";
      EXPECT_EQ(leftovers(dir), 0);
    }
  }
}

TEST(SafeOutput, FailedWritesKeepTheOldFile) {
  const std::string heif = noisy_heif();
  const std::string png_src = scratch_path("safe_src.png");
  write_png(png_src, 300, 200, 3, noise);
  const std::string dir = fresh_dir("safe_fsize");
  const struct {
    const char* name;
    const char* message;
    std::function<int(const std::string&)> call;
  } calls[] = {
      {"a.jpg", "Failed writing JPEG output file",
       [&](const std::string& o) { return lumetra_to_jpg(heif.c_str(), o.c_str(), 90); }},
      {"a.png", "Failed writing PNG output file",
       [&](const std::string& o) { return lumetra_to_png(heif.c_str(), o.c_str()); }},
      {"a.bmp", "Failed writing BMP output file",
       [&](const std::string& o) { return lumetra_to_bmp(heif.c_str(), o.c_str()); }},
      {"b.jpeg", "Failed writing JPEG output file",
       [&](const std::string& o) { return lumetra_to_image(heif.c_str(), o.c_str()); }},
      {"t.png", "Failed writing thumbnail image output file",
       [&](const std::string& o) { return lumetra_thumbnail(heif.c_str(), o.c_str()); }},
      {"e.heic", "Failed writing HEIF file to disk: Cannot write output file: File too large",
       [&](const std::string& o) { return lumetra_from_image(png_src.c_str(), o.c_str(), 85); }},
  };
  for (const auto& c : calls) {
    const std::string out = dir + "/" + c.name;
    write_file(out, kOld);
    chmod(out.c_str(), 0640);
    const Outcome o = with_file_size_limit(1024, [&] { return c.call(out); });
    EXPECT_EQ(o.result, 0) << c.name;
    EXPECT_EQ(o.message, c.message) << c.name;
    EXPECT_TRUE(read_file(out) == kOld) << c.name << ": the old file was touched";
    EXPECT_EQ(leftovers(dir), 0) << c.name;

    // Without the limit the same call replaces the file, keeping its mode.
    ASSERT_EQ(c.call(out), 1) << c.name << ": " << lumetra_last_error();
    const Bytes replaced = read_file(out);
    EXPECT_GT(replaced.size(), 1024u) << c.name << ": too small to have met the limit";
    EXPECT_TRUE(lumetra_is_heic(out.c_str()) || stb_load(out).width > 0) << c.name << ": unreadable result";
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << c.name;
    EXPECT_EQ(leftovers(dir), 0) << c.name;
  }

  // Batch gets the same guarantee through the conversions it makes.
  const std::string in = fresh_dir("safe_batch_in"), out = fresh_dir("safe_batch_out");
  fs::copy_file(heif, in + "/photo.heic");
  write_file(out + "/photo.jpg", kOld);
  const Outcome b = with_file_size_limit(1024, [&] { return lumetra_batch(in.c_str(), out.c_str(), 0, 90); });
  EXPECT_EQ(b.result, 0);
  EXPECT_TRUE(read_file(out + "/photo.jpg") == kOld);
  EXPECT_EQ(leftovers(out), 0);
}

TEST(SafeOutput, KilledWriterLeavesOldOrCompleteFile) {
  HeifRecipe s;
  s.width = 1600, s.height = 1200, s.pixel = noise;
  const std::string heif = heif_fixture("safe_big.heic", s);
  const std::string dir = fresh_dir("safe_kill");
  const std::string ref = dir + "/reference.png", out = dir + "/photo.png";
  ASSERT_EQ(lumetra_to_png(heif.c_str(), ref.c_str()), 1);
  const Bytes complete = read_file(ref);
  int old_seen = 0, new_seen = 0;
  for (const int ms : {5, 40, 80, 120, 160, 200, 260, 330, 420, 550, 800}) {
    write_file(out, kOld);
    const pid_t pid = fork();
    if (pid == 0) _exit(lumetra_to_png(heif.c_str(), out.c_str()) ? 0 : 1);
    const timespec pause{0, ms * 1000000L};
    nanosleep(&pause, nullptr);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const Bytes left = read_file(out);
    const bool old_file = left == kOld, new_file = left == complete;
    EXPECT_TRUE(old_file || new_file) << "killed after " << ms << " ms: " << left.size() << " bytes";
    old_seen += old_file, new_seen += new_file;
    for (const auto& e : fs::directory_iterator(dir))  // a killed writer cannot tidy up
      if (e.path().filename().string().find(".lumetra-") != std::string::npos) fs::remove(e.path());
  }
  std::printf("killed writers: %d left the old file, %d the new one\n", old_seen, new_seen);
}

TEST(SafeOutput, LinksDevicesAndLockedDirectories) {
  const std::string heif = noisy_heif();
  const std::string dir = fresh_dir("safe_kinds");

  // A symbolic link stays a link; the file it leads to is replaced.
  const std::string real = dir + "/real.png", link = dir + "/link.png";
  write_file(real, kOld);
  fs::create_symlink("real.png", link);
  ASSERT_EQ(lumetra_to_png(heif.c_str(), link.c_str()), 1) << lumetra_last_error();
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(stb_load(real).width, 400);
  EXPECT_EQ(leftovers(dir), 0);

  // An empty output path fails with the PNG writer's message, leaving nothing in the working directory.
  EXPECT_EQ(lumetra_to_png(heif.c_str(), ""), 0);
  EXPECT_STREQ(lumetra_last_error(), "Failed writing PNG output file");
  EXPECT_EQ(leftovers("."), 0);

  // Nothing to rename over: written in place.
  EXPECT_EQ(lumetra_to_png(heif.c_str(), "/dev/null"), 1) << lumetra_last_error();
  EXPECT_EQ(lumetra_thumbnail(heif.c_str(), "/dev/null"), 1) << lumetra_last_error();
  EXPECT_EQ(lumetra_to_png(heif.c_str(), "/dev/full"), 0);
  EXPECT_STREQ(lumetra_last_error(), "Failed writing PNG output file");

  // A directory that takes no new file, holding a writable target: written
  // in place. Root passes directory permissions, so the check runs as nobody.
  char tmpl[] = "/tmp/lumetra-locked-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string locked = tmpl, input = locked + "/in.heic", target = locked + "/out.png";
  fs::copy_file(heif, input);
  write_file(target, kOld);
  chmod(input.c_str(), 0644);
  chmod(target.c_str(), 0666);
  chmod(locked.c_str(), 0555);
  const pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    _exit(lumetra_to_png(input.c_str(), target.c_str()) ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(stb_load(target).width, 400);
  EXPECT_EQ(leftovers(locked), 0);
  chmod(locked.c_str(), 0755);
  fs::remove_all(locked);
}

TEST(SafeOutput, FullFileSystem) {
  char tmpl[] = "/tmp/lumetra-full-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string mnt = tmpl;
  if (geteuid() != 0 || mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k") != 0) {
    rmdir(mnt.c_str());
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  const std::string heif = noisy_heif();  // its PNG is larger than the file system
  const std::string out = mnt + "/photo.png";
  const Bytes old(150 * 1024, 0x33);
  write_file(out, old);
  EXPECT_EQ(lumetra_to_png(heif.c_str(), out.c_str()), 0);
  EXPECT_STREQ(lumetra_last_error(), "Failed writing PNG output file");
  EXPECT_TRUE(read_file(out) == old);
  EXPECT_EQ(leftovers(mnt), 0);
  umount(mnt.c_str());
  rmdir(mnt.c_str());
}
