// plugin_probe CALL IN OUT EXT THREADS: runs one library call (info,
// thumbnail or convert) from THREADS threads that start together, each
// writing OUT + its thread number + EXT, then says how many succeeded and whether
// libavcodec is mapped into the process: "ok N avcodec 0|1" ("avcodec ?"
// without /proc). Run in a fresh process, so that libheif's start-up and
// every plugin load happen in it.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lumetra.h"

namespace {

int run(const std::string& call, const char* in, const std::string& out) {
  if (call == "info") return lumetra_info(in) != nullptr;
  if (call == "thumbnail") return lumetra_thumbnail(in, out.c_str());
  return lumetra_convert(in, out.c_str(), 90, 0);
}

// 1 when libavcodec is mapped, 0 when not, -1 without /proc/self/maps.
int avcodec_mapped() {
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return -1;
  char line[4096];
  int found = 0;
  while (found == 0 && std::fgets(line, sizeof line, maps) != nullptr)
    found = std::strstr(line, "libavcodec") != nullptr;
  std::fclose(maps);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  const std::string call = argv[1], out = argv[3], ext = argv[4];
  const int threads = std::atoi(argv[5]);
  std::mutex m;
  std::condition_variable go;
  bool started = false;
  int ok = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      {
        std::unique_lock<std::mutex> lock(m);
        go.wait(lock, [&] { return started; });
      }
      const int r = run(call, argv[2], out + std::to_string(t) + ext);
      std::lock_guard<std::mutex> lock(m);
      ok += r;
    });
  }
  {
    std::lock_guard<std::mutex> lock(m);
    started = true;
  }
  go.notify_all();
  for (std::thread& w : workers) w.join();
  const int mapped = avcodec_mapped();
  std::printf("ok %d avcodec %s\n", ok, mapped < 0 ? "?" : mapped ? "1" : "0");
  return 0;
}
