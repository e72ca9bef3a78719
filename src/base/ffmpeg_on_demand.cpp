#include "base/ffmpeg_on_demand.h"

#include <libheif/heif.h>
#include <libheif/heif_plugin.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/platform.h"

namespace {

const char kId[] = "ffmpeg";
const char kOnDemand[] = "on-demand/libheif-ffmpegdec.so";
// The priority FFmpeg's own plugin gives itself: below libde265's 100, so
// libheif's default choice stays what it would be with the plugin loaded.
const int kPriority = 90;

// Written once, before registration; a plain array, so that nothing of
// this file is torn down at exit while a decoder may still run.
char plugin_path[4096];
std::once_flag load_once;
std::atomic<const heif_decoder_plugin*> real{nullptr};
std::atomic<bool> available{false};
std::atomic<bool> loaded_at_start{false};

const heif_decoder_plugin* load_real() {
  std::call_once(load_once, [] {
    const auto* info = static_cast<const heif_plugin_info*>(platform::plugin_symbol(plugin_path, "plugin_info"));
    if (info == nullptr || info->type != heif_plugin_type_decoder || info->plugin == nullptr) return;
    const auto* plugin = static_cast<const heif_decoder_plugin*>(info->plugin);
    if (plugin->plugin_api_version < 1 || plugin->new_decoder == nullptr) return;
    if (plugin->init_plugin != nullptr) plugin->init_plugin();
    real.store(plugin, std::memory_order_release);
  });
  return real.load(std::memory_order_acquire);
}

// Every function but new_decoder works on a decoder new_decoder made, so the
// real plugin is there.
const heif_decoder_plugin* loaded() { return real.load(std::memory_order_acquire); }

const char* plugin_name() {
  const heif_decoder_plugin* p = loaded();
  return p != nullptr && p->get_plugin_name != nullptr ? p->get_plugin_name() : "FFmpeg HEVC decoder (on demand)";
}

void deinit_plugin() {
  const heif_decoder_plugin* p = loaded();
  if (p != nullptr && p->deinit_plugin != nullptr) p->deinit_plugin();
}

int does_support_format(heif_compression_format format) { return format == heif_compression_HEVC ? kPriority : 0; }

heif_error new_decoder(void** decoder) {
  const heif_decoder_plugin* p = load_real();
  if (p == nullptr) {
    return heif_error{heif_error_Plugin_loading_error, heif_suberror_Plugin_loading_error,
                      "Cannot open plugin (dlopen)."};
  }
  return p->new_decoder(decoder);
}

void free_decoder(void* decoder) { loaded()->free_decoder(decoder); }

heif_error push_data(void* decoder, const void* data, size_t size) { return loaded()->push_data(decoder, data, size); }

heif_error decode_image(void* decoder, heif_image** out) { return loaded()->decode_image(decoder, out); }

void set_strict_decoding(void* decoder, int flag) {
  const heif_decoder_plugin* p = loaded();
  if (p->plugin_api_version >= 2 && p->set_strict_decoding != nullptr) p->set_strict_decoding(decoder, flag);
}

const heif_decoder_plugin on_demand = {3,           plugin_name,  nullptr,   deinit_plugin, does_support_format,
                                       new_decoder, free_decoder, push_data, decode_image,  set_strict_decoding,
                                       kId};

bool has_ffmpeg_decoder() {
  const heif_decoder_descriptor* descriptors[16];
  const int n = heif_get_decoder_descriptors(heif_compression_HEVC, descriptors, 16);
  for (int i = 0; i < n && i < 16; ++i) {
    const char* id = heif_decoder_descriptor_get_id_name(descriptors[i]);
    if (id != nullptr && std::strcmp(id, kId) == 0) return true;
  }
  return false;
}

// Finds the on-demand plugin file in libheif's plugin directories and keeps
// its path in plugin_path; false when there is none.
bool find_on_demand_file() {
  const char* const* dirs = heif_get_plugin_directories();
  if (dirs == nullptr) return false;
  bool found = false;
  for (int i = 0; dirs[i] != nullptr && !found; ++i) {
    const std::string path = std::string(dirs[i]) + platform::kSeparator + kOnDemand;
    if (path.size() < sizeof plugin_path && platform::kind_of(path.c_str()) == platform::FileKind::Regular) {
      std::memcpy(plugin_path, path.c_str(), path.size() + 1);
      found = true;
    }
  }
  heif_free_plugin_directories(dirs);
  return found;
}

}  // namespace

void offer_ffmpeg_on_demand() {
  const char* forced = std::getenv("LUMETRA_HEVC_DECODER");
  if (forced != nullptr && std::strcmp(forced, "libde265") == 0) return;
  if (has_ffmpeg_decoder()) {
    loaded_at_start.store(true, std::memory_order_relaxed);
    available.store(true, std::memory_order_release);
    return;
  }
  if (!find_on_demand_file()) return;
  if (heif_register_decoder_plugin(&on_demand).code == heif_error_Ok) available.store(true, std::memory_order_release);
}

bool ffmpeg_decoder_available() { return available.load(std::memory_order_acquire); }

bool ffmpeg_decoder_loaded() {
  return loaded_at_start.load(std::memory_order_relaxed) || real.load(std::memory_order_acquire) != nullptr;
}
