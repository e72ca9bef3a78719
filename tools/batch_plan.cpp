#include "batch_plan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "base/platform.h"
#include "lumetra.h"
#include "salvage_warning.h"

namespace {

constexpr size_t kMaxOutputPath = 4096;

std::vector<std::string> sorted_names(const std::string& dir) {
  std::vector<std::string> names = platform::list_names(dir);
  std::sort(names.begin(), names.end());
  return names;
}

class Walker {
 public:
  Walker(const BatchOptions& o, BatchPlan* plan) : o_(o), plan_(plan) {}

  void walk(const std::string& in_dir, const std::string& out_dir) {
    const char sep = platform::kSeparator;
    for (const std::string& name : sorted_names(in_dir)) {
      const std::string input = in_dir + sep + name;
      const platform::FileKind kind = platform::kind_of(input.c_str());
      if (kind == platform::FileKind::Missing && !platform::is_link(input.c_str())) continue;  // gone meanwhile
      if (kind == platform::FileKind::Directory) {
        // Real directories only: a link to one could loop or leave IN, and
        // OUT inside IN is never walked.
        if (o_.recursive && !platform::is_link(input.c_str()) &&
            !platform::same_file(input.c_str(), o_.out_dir.c_str())) {
          walk(input, out_dir + sep + name);
        }
        continue;
      }
      if (!lumetra_is_heic(input.c_str())) {
        ++plan_->not_heif;
        continue;
      }
      const size_t dot = name.rfind('.');
      const std::string output = out_dir + sep + name.substr(0, dot) + (o_.png ? ".png" : ".jpg");
      if (output.size() >= kMaxOutputPath) {
        plan_->refusals.push_back(input + ": skipped: path too long");
      } else if (platform::same_file(input.c_str(), output.c_str())) {
        plan_->refusals.push_back(input + ": skipped: the output would overwrite the input");
      } else if (o_.skip_existing && platform::kind_of(output.c_str()) != platform::FileKind::Missing) {
        ++plan_->exists;
      } else {
        plan_->jobs.push_back(BatchJob{input, output});
      }
    }
  }

 private:
  const BatchOptions& o_;
  BatchPlan* plan_;
};

}  // namespace

bool input_dir_usable(const BatchOptions& options) {
  if (platform::kind_of(options.in_dir.c_str()) == platform::FileKind::Directory) return true;
  std::fprintf(stderr, "%s: Failed opening input directory\n", options.in_dir.c_str());
  return false;
}

BatchPlan plan_batch(const BatchOptions& options) {
  BatchPlan plan;
  Walker(options, &plan).walk(options.in_dir, options.out_dir);
  return plan;
}

void make_parent_dirs(const std::string& path) {
  for (size_t at = 1; at < path.size(); ++at) {
    if (platform::is_separator(path[at])) platform::make_directory(path.substr(0, at).c_str());
  }
}

namespace {

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

BatchReport::BatchReport(const BatchPlan& plan, bool terminal)
    : plan_(plan),
      terminal_(terminal),
      outcome_(plan.jobs.size(), Outcome::Pending),
      message_(plan.jobs.size()),
      failed_(static_cast<int>(plan.refusals.size())),
      start_(now_seconds()) {
  for (const std::string& r : plan.refusals) std::fprintf(stderr, "%s\n", r.c_str());
}

void BatchReport::converted(size_t job, const std::string& warning) {
  outcome_[job] = Outcome::Converted;
  message_[job] = warning;
  ++converted_, ++done_;
  if (is_salvage_warning(warning)) ++salvaged_;
}

void BatchReport::failed(size_t job, const std::string& message) {
  outcome_[job] = Outcome::Failed;
  message_[job] = message;
  ++failed_, ++done_;
}

void BatchReport::update(size_t started) {
  const char* clear = terminal_ ? "\r\033[K" : "";
  while (printed_ < started && outcome_[printed_] != Outcome::Pending) {
    if (!message_[printed_].empty()) {  // a failure, or what a salvaged read dropped
      std::fprintf(stderr, "%s%s: %s\n", clear, plan_.jobs[printed_].input.c_str(), message_[printed_].c_str());
    }
    ++printed_;
  }
  if (terminal_) {
    const size_t n = plan_.jobs.size();
    const double rate = done_ / std::max(1e-3, now_seconds() - start_);
    const double left = rate > 0 ? (n - done_) / rate : 0;
    std::fprintf(stderr, "\r\033[K[%zu/%zu] failures: %d, %.1f files/s, about %.0f s left", done_, n, failed_, rate,
                 left);
    std::fflush(stderr);
  }
}

void BatchReport::finish() {
  if (terminal_) std::fprintf(stderr, "\r\033[K");
  const std::string salvaged = salvaged_ > 0 ? " (" + std::to_string(salvaged_) + " salvaged)" : "";
  std::printf("converted %d%s, skipped %d (not HEIF), skipped %d (exists), failed %d\n", converted_, salvaged.c_str(),
              plan_.not_heif, plan_.exists, failed_);
  std::fflush(stdout);
}
