#include "heif_plugins.h"

#include <sys/stat.h>
#include <cstdlib>

void use_lumetra_heif_plugins() {
  struct stat st;
  if (std::getenv("LIBHEIF_PLUGIN_PATH") != nullptr) return;  // the user's choice
  if (stat(LUMETRA_HEIF_PLUGINS, &st) != 0 || !S_ISDIR(st.st_mode)) return;
  setenv("LIBHEIF_PLUGIN_PATH", LUMETRA_HEIF_PLUGINS, 0);
}
