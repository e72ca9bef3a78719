/* A plain C host program: convert a HEIF file and print its facts. */
#include <stdio.h>

#include <lumetra.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: consumer IN.heic OUT.png\n");
    return 2;
  }
  lumetra_init();
  if (!lumetra_to_image(argv[1], argv[2])) {
    fprintf(stderr, "conversion failed: %s\n", lumetra_last_error());
    return 1;
  }
  const char* info = lumetra_info(argv[1]);
  if (info == NULL) {
    fprintf(stderr, "info failed: %s\n", lumetra_last_error());
    return 1;
  }
  printf("%s\n", info);
  lumetra_cleanup();
  return 0;
}
