// lumetra batch --max-memory: a memory cap per worker, so that one
// decompression bomb fails alone instead of sending the machine into swap
// or the OOM killer. memory_cap.cpp: sizes and words; memory_cap_posix.cpp
// and memory_cap_win32.cpp: the cap itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int64_t kGiB = int64_t(1) << 30;

// "1536", "512K", "512M", "1.5G" (binary units, either case); false for
// anything else or more than 2^62 bytes.
bool parse_memory_size(const std::string& text, int64_t* bytes);
// "1.5 GiB", "512 MiB", "3 KiB", "100 B".
std::string human_size(int64_t bytes);
// What the batch reports for a file that ran out of memory under the cap.
std::string out_of_memory_message(int64_t limit);

// The cap per worker: the option's bytes (0: none), or for the default (-1)
// the available memory shared by the workers, at least 1 GiB; none when the
// available memory is unknown (available < 0).
int64_t memory_cap(int64_t option, int64_t available, size_t workers);

// The machine's available memory in bytes (MemAvailable), -1 when unknown.
int64_t available_memory();

// ---- POSIX workers ----

// What a worker writes on its pipe, before its outcome, when the cap has
// refused it memory.
constexpr char kOutOfMemoryReport = 'M';
// Caps this process (a batch worker) at limit bytes of data and watches for
// allocations the cap refuses: the first one writes kOutOfMemoryReport to
// report_fd. False when this build cannot cap (sanitizers).
bool cap_worker_memory(int64_t limit, int report_fd);

// ---- Windows workers ----

// A job object that caps one child process's committed memory, and the
// port on which the system says when the cap refused it.
struct MemoryJob {
  void* job = nullptr;
  void* port = nullptr;
};
// Puts process (created suspended) under limit bytes; an empty job when the
// system refuses.
MemoryJob cap_child_memory(void* process, int64_t limit);
// Whether the cap refused the child memory (the system's word, which it
// does not promise to deliver: false may be a miss).
bool child_ran_out(const MemoryJob& job);
void release_job(MemoryJob* job);
