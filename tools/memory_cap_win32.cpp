// The batch worker's memory cap on Windows: a job object per child process
// (JOB_OBJECT_LIMIT_PROCESS_MEMORY, committed memory).
#include <windows.h>

#include "memory_cap.h"

int64_t available_memory() {
  MEMORYSTATUSEX m{};
  m.dwLength = sizeof m;
  return GlobalMemoryStatusEx(&m) ? static_cast<int64_t>(m.ullAvailPhys) : -1;
}

MemoryJob cap_child_memory(void* process, int64_t limit) {
  MemoryJob j;
  j.job = CreateJobObjectA(nullptr, nullptr);
  j.port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
  info.ProcessMemoryLimit = static_cast<SIZE_T>(limit);
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT link{};
  link.CompletionKey = j.job;
  link.CompletionPort = j.port;
  const bool capped = j.job != nullptr && j.port != nullptr &&
                      SetInformationJobObject(j.job, JobObjectExtendedLimitInformation, &info, sizeof info) &&
                      SetInformationJobObject(j.job, JobObjectAssociateCompletionPortInformation, &link, sizeof link) &&
                      AssignProcessToJobObject(j.job, process);
  if (!capped) release_job(&j);
  return j;
}

bool child_ran_out(const MemoryJob& j) {
  DWORD message = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED data = nullptr;
  while (j.port != nullptr && GetQueuedCompletionStatus(j.port, &message, &key, &data, 0)) {
    if (message == JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT) return true;
  }
  return false;
}

void release_job(MemoryJob* j) {
  if (j->job != nullptr) CloseHandle(j->job);
  if (j->port != nullptr) CloseHandle(j->port);
  *j = MemoryJob{};
}
