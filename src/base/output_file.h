// The one way the library writes an output file: beside its target, then
// renamed over it, so that a failed or interrupted write never destroys
// the file that was there.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <libheif/heif.h>

class OutputFile {
 public:
  explicit OutputFile(const char* target) : target_(target) {}
  ~OutputFile();  // abandons an uncommitted file: the target stays as it was
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The stream to write into, or nullptr with errno set.
  FILE* open();
  // Flushes, syncs and closes the stream, puts the file in place and syncs
  // its directory. False with errno set on any failure: the temporary file
  // is removed, or, when only the directory's sync failed, left in place.
  bool commit();

 private:
  const char* target_;
  FILE* stream_ = nullptr;
  std::string temp_;  // empty when writing the target in place
  std::string final_;
};

// Removes the temporary files that writers of `target` killed mid-write
// left beside it (a killed process cannot).
void remove_abandoned_temp_files(const char* target);

// Writes a libheif context's file through OutputFile (libheif's own file
// writer reports success when nothing was written). The error's text stays
// valid until the next call.
heif_error write_heif_output(heif_context* ctx, const char* path);

// Edits a HEIF file's bytes before they are committed, for boxes libheif
// cannot write; returns null, or why the file cannot be completed.
using HeifFileEdit = std::function<const char*(std::vector<uint8_t>* file)>;
heif_error write_heif_output(heif_context* ctx, const char* path, const HeifFileEdit& edit);
