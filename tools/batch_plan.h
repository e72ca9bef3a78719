// The walk of `lumetra batch`: which files to convert to which outputs, in
// a stable order, before any conversion starts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "batch_runner.h"

struct BatchJob {
  std::string input, output;
};

struct BatchPlan {
  std::vector<BatchJob> jobs;
  std::vector<std::string> refusals;  // "<path>: skipped: …", counted as failures
  int not_heif = 0;
  int exists = 0;
};

// False, with the message on stderr, when INDIR is no directory to walk.
bool input_dir_usable(const BatchOptions& options);

// Sorted names; HEIF by content; -r descends into real directories only
// (never a link, never OUTDIR) and mirrors them under OUTDIR.
BatchPlan plan_batch(const BatchOptions& options);

// Makes the directories above an output file that are missing.
void make_parent_dirs(const std::string& path);

// What the user sees of a running batch: refusals first, then failures in
// the order of the files (whatever order workers finish in), on a terminal
// one progress line, and the summary at the end.
class BatchReport {
 public:
  BatchReport(const BatchPlan& plan, bool terminal);
  // warning: what a salvaged read dropped, "" for a whole file.
  void converted(size_t job, const std::string& warning = "");
  void failed(size_t job, const std::string& message);
  // Prints what became final among the first `started` jobs, and progress.
  void update(size_t started);
  // Clears the progress line and prints the summary.
  void finish();
  int failures() const { return failed_; }

 private:
  enum class Outcome { Pending, Converted, Failed };
  const BatchPlan& plan_;
  const bool terminal_;
  std::vector<Outcome> outcome_;
  std::vector<std::string> message_;
  size_t printed_ = 0, done_ = 0;
  int converted_ = 0, salvaged_ = 0, failed_ = 0;
  double start_;
};
