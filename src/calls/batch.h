// The directory walk of lumetra_batch and the tool's per-entry reports.
#pragma once

enum class BatchOutcome {
  Converted,
  Failed,         // conversion call failed; message holds its last-error text
  NotHeif,        // skipped: not a HEIF file by content
  PathTooLong,    // skipped: the input or output path would not fit its buffer
  WouldOverwrite  // skipped: the output file is the input file itself
};

struct BatchEntry {
  const char* name;  // entry name as listed
  const char* input_path;
  const char* output_path;  // empty unless a conversion was attempted or refused
  BatchOutcome outcome;
  const char* message;  // last-error text of a failed conversion, else ""
};

using BatchCallback = void (*)(const BatchEntry& entry, void* user);

// Returns the count of conversions, or -1 (message set) when the arguments
// are null or the input directory cannot be listed.
// convert_flags >= 0: each file goes through lumetra_convert with these
// flags instead of lumetra_to_png / lumetra_to_jpg.
int batch_walk(const char* in_dir, const char* out_dir, int format, int quality, BatchCallback callback, void* user,
               int convert_flags = -1);

// Number of entries of in_dir that the walk would look at (non-directories),
// or -1 when it cannot be listed. For progress displays.
int batch_count_candidates(const char* in_dir);
