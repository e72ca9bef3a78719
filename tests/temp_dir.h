// A new, empty directory for a test binary's or harness's files, on any
// platform (mkdtemp is POSIX only).
#pragma once

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

inline std::string make_temp_dir(const char* prefix) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = ".";
  std::mt19937_64 random(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                         std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / (std::string(prefix) + std::to_string(random() % 1000000000ull));
    if (fs::create_directory(candidate, ec)) return candidate.generic_string();
  }
  return std::string();
}
