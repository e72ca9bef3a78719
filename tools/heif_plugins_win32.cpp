#include "heif_plugins.h"

void use_lumetra_heif_plugins() {}
