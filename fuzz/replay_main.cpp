// Runs a fuzz harness over given files or directories without libFuzzer:
// the seed corpus and the regression inputs in the ordinary test suite.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int inputs = 0;
  auto run = [&](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++inputs;
  };
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& e : fs::directory_iterator(argv[i]))
        if (e.is_regular_file()) run(e.path());
    } else if (fs::exists(argv[i])) {
      run(argv[i]);
    }
  }
  std::printf("%s: %d inputs replayed\n", argc > 0 ? argv[0] : "replay", inputs);
  return inputs > 0 ? 0 : 1;
}
