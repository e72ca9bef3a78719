// The walk of `lumetra batch`: which files to convert to which outputs, in
// a stable order, before any conversion starts.
#pragma once

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

// Sorted names; HEIF by content; -r descends into real directories only
// (never a link, never OUTDIR) and mirrors them under OUTDIR.
BatchPlan plan_batch(const BatchOptions& options);

// Makes the directories above an output file that are missing.
void make_parent_dirs(const std::string& path);

// The summary line every batch ends with.
void print_batch_summary(int converted, const BatchPlan& plan, int failed);
