// Calls from many threads at once: each thread must see only its own
// results, messages and reports, and write the same bytes as a lone caller.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "lumetra.h"

namespace {

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 25;

enum class Call { ConvertJpeg, ToPng, Thumbnail, Info, Exif, MissingFile, UnknownExtension, InfoOfMissing, Detail };
const Call kCycle[] = {Call::ConvertJpeg, Call::Info,      Call::ToPng,         Call::MissingFile,
                       Call::Exif,        Call::Thumbnail, Call::InfoOfMissing, Call::UnknownExtension,
                       Call::Detail};

// What one call did, as the calling thread saw it.
struct Outcome {
  int result = 0;       // 1/0, or for reports whether a text came back
  std::string message;  // the thread's last-error text after the call
  std::string report;   // the returned report, or the thread's previous one after a failed report
  Bytes output;         // the written file
  bool operator==(const Outcome& o) const {
    return result == o.result && message == o.message && report == o.report && output == o.output;
  }
};

// Each thread's own picture: its size and camera make differ from every
// other thread's, so a report or message that crossed threads shows.
std::string thread_fixture(int t) {
  HeifRecipe s;
  s.width = 40 + 8 * t;
  s.height = 32 + 4 * t;
  s.thumb_width = t % 2 ? 20 : 0;
  s.thumb_height = t % 2 ? 16 : 0;
  const Bytes tiff = build_tiff(TiffRecipe{true, {ascii_entry(0x010F, "Maker" + std::to_string(t))}, {}});
  s.exif = Bytes(4, 0);
  s.exif.insert(s.exif.end(), tiff.begin(), tiff.end());
  return heif_fixture("thread" + std::to_string(t) + ".heic", s);
}

// Runs thread t's calls; `tag` keeps the serial and concurrent runs' output
// files apart.
std::vector<Outcome> run_calls(int t, const std::string& in, const std::string& tag) {
  const std::string base = scratch_path(tag + "-t" + std::to_string(t) + "-");
  const std::string missing = scratch_path("missing-" + std::to_string(t) + ".heic");
  std::vector<Outcome> outcomes;
  const char* last_report = nullptr;
  for (int i = 0; i < kCallsPerThread; ++i) {
    Outcome o;
    std::string out;
    const char* report = nullptr;
    switch (kCycle[i % (sizeof kCycle / sizeof kCycle[0])]) {
      case Call::ConvertJpeg:
        out = base + std::to_string(i) + ".jpg";
        o.result = lumetra_convert(in.c_str(), out.c_str(), 80, LUMETRA_KEEP_METADATA);
        break;
      case Call::ToPng:
        out = base + std::to_string(i) + ".png";
        o.result = lumetra_to_png(in.c_str(), out.c_str());
        break;
      case Call::Thumbnail:
        out = base + std::to_string(i) + ".png";
        o.result = lumetra_thumbnail(in.c_str(), out.c_str());
        break;
      case Call::Info: report = lumetra_info(in.c_str()); break;
      case Call::Exif: report = lumetra_exif(in.c_str()); break;
      case Call::InfoOfMissing: report = lumetra_info(missing.c_str()); break;
      case Call::Detail: report = lumetra_info_detail(in.c_str()); break;
      case Call::MissingFile:
        o.result = lumetra_to_png(missing.c_str(), (base + std::to_string(i) + ".png").c_str());
        break;
      case Call::UnknownExtension:
        o.result = lumetra_convert(in.c_str(), (base + std::to_string(i) + ".t" + std::to_string(t)).c_str(), 0,
                                   LUMETRA_KEEP_METADATA);
        break;
    }
    if (report != nullptr) {
      o.result = 1;
      last_report = report;
    }
    o.report = last_report != nullptr ? last_report : "";  // a failed report keeps the thread's earlier one
    o.message = lumetra_last_error();
    if (!out.empty() && o.result == 1) o.output = read_file(out);
    outcomes.push_back(o);
  }
  return outcomes;
}

}  // namespace

TEST(Threads, EachThreadSeesOnlyItsOwnMessagesReportsAndBytes) {
  std::vector<std::string> inputs;
  for (int t = 0; t < kThreads; ++t) inputs.push_back(thread_fixture(t));
  std::vector<std::vector<Outcome>> expected;
  for (int t = 0; t < kThreads; ++t) expected.push_back(run_calls(t, inputs[t], "serial"));

  // The lone caller's run is itself right: its own size in the report, its
  // own make in the EXIF report, its own path in the message, pictures that
  // decode at its size.
  for (int t = 0; t < kThreads; ++t) {
    const std::vector<Outcome>& e = expected[t];
    ASSERT_EQ(e[0].result, 1) << e[0].message;
    EXPECT_EQ(stb_load(scratch_path("serial-t" + std::to_string(t) + "-2.png")).width, 40 + 8 * t);
    EXPECT_NE(e[1].report.find("\"width\":" + std::to_string(40 + 8 * t) + ","), std::string::npos) << e[1].report;
    EXPECT_NE(e[4].report.find("Maker" + std::to_string(t)), std::string::npos) << e[4].report;
    EXPECT_NE(e[3].message.find("missing-" + std::to_string(t)), std::string::npos) << e[3].message;
    EXPECT_EQ(e[6].result, 0);
    EXPECT_EQ(e[6].report, e[4].report);
    EXPECT_NE(e[7].message.find(".t" + std::to_string(t)), std::string::npos) << e[7].message;
    EXPECT_NE(e[8].report.find("\"width\":" + std::to_string(40 + 8 * t) + ","), std::string::npos) << e[8].report;
  }

  ASSERT_EQ(lumetra_to_png("", ""), 0);
  const std::string main_message = lumetra_last_error();
  ASSERT_FALSE(main_message.empty());

  // Each thread's text stays at one address for the thread's life, apart
  // from this thread's.
  const char* main_buffer = lumetra_last_error();
  std::vector<std::vector<Outcome>> got(kThreads);
  std::vector<int> stable_buffer(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &inputs, &got, &stable_buffer, main_buffer] {
      const char* before = lumetra_last_error();
      got[t] = run_calls(t, inputs[t], "concurrent");
      stable_buffer[t] = before == lumetra_last_error() && before != main_buffer;
    });
  }
  for (std::thread& th : threads) th.join();

  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(got[t].size(), expected[t].size());
    for (size_t i = 0; i < got[t].size(); ++i) {
      EXPECT_TRUE(got[t][i] == expected[t][i])
          << "thread " << t << " call " << i << ": result " << got[t][i].result << " message '" << got[t][i].message
          << "' report '" << got[t][i].report << "', alone: '" << expected[t][i].message << "' '"
          << expected[t][i].report << "'";
    }
    EXPECT_TRUE(stable_buffer[t]) << "thread " << t;
  }
  EXPECT_EQ(lumetra_last_error(), main_message);  // the other threads never touched this one's text
}

// Threads whose calls are the process's first use of libheif (when this
// test runs in a process of its own, as ctest runs it): libheif's one-time
// set-up must not race. Each encodes its own picture; libheif reads each
// back at the size and close to the pixels it was given.
TEST(Threads, FirstCallsTogetherEncodeTheirOwnPictures) {
  std::vector<std::string> sources, outputs;
  for (int t = 0; t < 4; ++t) {
    sources.push_back(scratch_path("first-" + std::to_string(t) + ".png"));
    outputs.push_back(scratch_path("first-" + std::to_string(t) + ".heic"));
    write_png(sources.back(), 24 + 8 * t, 16 + 4 * t, 3);
  }
  std::vector<int> results(sources.size(), 0);
  std::vector<std::string> messages(sources.size());
  std::vector<std::thread> threads;
  for (size_t t = 0; t < sources.size(); ++t) {
    threads.emplace_back([t, &sources, &outputs, &results, &messages] {
      results[t] = lumetra_convert(sources[t].c_str(), outputs[t].c_str(), 90, 0);
      messages[t] = lumetra_last_error();
    });
  }
  for (std::thread& th : threads) th.join();
  for (size_t t = 0; t < sources.size(); ++t) {
    ASSERT_EQ(results[t], 1) << messages[t];
    EXPECT_EQ(messages[t], "");
    const Raster got = libheif_decode(outputs[t], false);
    const Raster source = stb_load(sources[t]);
    EXPECT_EQ(got.width, source.width);
    EXPECT_EQ(got.height, source.height);
    EXPECT_GT(psnr(got, source), 30.0) << "thread " << t;
  }
}
