// Hostile inputs: malformed headers, special files, absurd sizes.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fixtures.h"
#include "lumetra.h"

TEST(Hostile, PnmHeaderNumbersThatOverflow) {
  // stb_image 2.27 overflows a signed int reading these numbers.
  for (const char* header : {"P6\n9999999999 1\n255\n", "P5 1 2147483648 255\n", "P6\n#c\n1 1\n99999999999\n"}) {
    const std::string path = scratch_path("overflow.ppm");
    std::string content = header;
    content.append(16, '\x7f');
    write_file(path, Bytes(content.begin(), content.end()));
    EXPECT_EQ(lumetra_from_image(path.c_str(), scratch_path("o.heic").c_str(), 50), 0) << header;
    EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': integer parse overflow");
  }
  // The largest number that fits is still handed to the loader.
  const std::string path = scratch_path("big.ppm");
  const std::string fits = "P6\n2147483647 1\n255\n";
  write_file(path, Bytes(fits.begin(), fits.end()));
  EXPECT_EQ(lumetra_from_image(path.c_str(), scratch_path("o.heic").c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + path + "': too large");
}

TEST(Hostile, FifoInputsDoNotHang) {
  const std::string fifo = scratch_path("pipe.heic");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(lumetra_is_heic(fifo.c_str()), 0);
  EXPECT_EQ(lumetra_to_png(fifo.c_str(), scratch_path("fifo.png").c_str()), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed to read HEIC file '" + fifo + "': Invalid input: Not a regular file");
  EXPECT_EQ(lumetra_info(fifo.c_str()), nullptr);
  EXPECT_EQ(lumetra_exif(fifo.c_str()), nullptr);
  EXPECT_EQ(lumetra_thumbnail(fifo.c_str(), scratch_path("fifo.jpg").c_str()), 0);
  EXPECT_EQ(lumetra_from_image(fifo.c_str(), scratch_path("fifo.heic").c_str(), 50), 0);
  EXPECT_EQ(std::string(lumetra_last_error()), "Failed loading source image '" + fifo + "': can't fopen");
  unlink(fifo.c_str());
}
