// lumetra batch for whole photo libraries: every file in a worker process
// of its own (crash and hang isolation), several at once, optionally
// recursive and resumable.
#pragma once

#include <cstdint>
#include <string>

struct BatchOptions {
  std::string in_dir, out_dir;
  bool png = false;
  int quality = 0;
  int jobs = 0;               // 0: the number of online CPUs
  int timeout_seconds = 300;  // per file; 0: none
  bool recursive = false;
  bool skip_existing = false;
  int convert_flags = -1;    // -1: the original calls (lumetra_to_png / lumetra_to_jpg)
  int decoding_threads = 0;  // per worker; set by run_batch
  int64_t max_memory = -1;   // bytes per worker; 0: no cap; -1: the default (set by run_batch)
};

// Runs the batch, prints per-file failures and the summary; returns the
// tool's exit status (0, 1 when a file failed, 130/143 when interrupted).
int run_batch(const BatchOptions& options);
