/* thumbnail_call IN OUT: one lumetra_thumbnail call in a process of its
   own, as a host program makes it (bench/startup.sh times it whole). */
#include <stdio.h>

#include "lumetra.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (!lumetra_thumbnail(argv[1], argv[2])) {
    fprintf(stderr, "%s\n", lumetra_last_error());
    return 1;
  }
  return 0;
}
