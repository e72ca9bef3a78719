// The batch's workers on Windows: each file is converted by a child
// process of this tool ("lumetra.exe convert IN OUT …"), several at once,
// so that a crash or a hang costs only that file.
#include "batch_runner.h"

#include <io.h>
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/output_file.h"
#include "batch_plan.h"
#include "lumetra.h"
#include "memory_cap.h"

namespace {

volatile LONG g_stopped = 0;
BOOL WINAPI on_console_stop(DWORD) {
  InterlockedExchange(&g_stopped, 1);
  return TRUE;
}

double now_seconds() { return GetTickCount64() / 1000.0; }

// One argument as the C runtime's command-line parser reads it back.
std::string quoted(const std::string& arg) {
  std::string q = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    q.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    q += c;
  }
  q.append(backslashes * 2, '\\');
  return q + "\"";
}

// The tool's strings are UTF-8 (arguments.h); Windows takes UTF-16.
std::wstring utf16(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? size_t(n) : 1, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], n);
  w.resize(w.size() - 1);
  return w;
}

std::string own_path() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "lumetra.exe";
  const int size = WideCharToMultiByte(CP_UTF8, 0, path, int(n), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, path, int(n), &s[0], size, nullptr, nullptr);
  return s;
}

struct Running {
  HANDLE process;
  HANDLE output;  // the child's stderr
  size_t job;
  double started;
  std::string report;
  MemoryJob memory;
};

bool start_worker(const std::string& exe, const BatchOptions& o, const BatchJob& job, size_t index, Running* r) {
  std::string command = quoted(exe) + " convert " + quoted(job.input) + " " + quoted(job.output);
  if (o.quality != 0) command += " -q " + std::to_string(o.quality);
  if (o.convert_flags < 0) {
    command += " --exact";
  } else {
    if ((o.convert_flags & LUMETRA_KEEP_METADATA) == 0) command += " --strip";
    if ((o.convert_flags & LUMETRA_KEEP_HDR) == 0) command += " --sdr";
  }

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
  // The worker inherits these two handles and no other: an inherited copy of
  // the batch's own stdout would keep whoever reads it waiting.
  HANDLE inherited[2] = {null_in, write_end};
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_block(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_block.data());
  const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &list_size) &&
                      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                                nullptr, nullptr);
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = null_in;
  si.StartupInfo.hStdOutput = null_in;
  si.StartupInfo.hStdError = write_end;
  si.lpAttributeList = listed ? list : nullptr;
  PROCESS_INFORMATION pi{};
  // Its own process group: Ctrl-C reaches the batch, which decides.
  // Suspended until its job object holds it, when there is a cap.
  const DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0) |
                      (o.max_memory > 0 ? CREATE_SUSPENDED : 0);
  std::wstring wide_command = utf16(command);
  const BOOL started =
      CreateProcessW(nullptr, &wide_command[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si.StartupInfo, &pi);
  if (listed) DeleteProcThreadAttributeList(list);
  CloseHandle(write_end);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (!started) {
    CloseHandle(read_end);
    return false;
  }
  *r = Running{pi.hProcess, read_end, index, now_seconds(), "", MemoryJob{}};
  if (o.max_memory > 0) {
    r->memory = cap_child_memory(pi.hProcess, o.max_memory);
    ResumeThread(pi.hThread);
  }
  CloseHandle(pi.hThread);
  return true;
}

void drain(Running& r) {
  DWORD available = 0;
  while (PeekNamedPipe(r.output, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    char buf[1024];
    DWORD got = 0;
    if (!ReadFile(r.output, buf, std::min<DWORD>(available, sizeof buf), &got, nullptr) || got == 0) break;
    r.report.append(buf, got);
  }
}

// The child's "IN: message" line, as the message alone.
std::string message_of(const Running& r, const BatchJob& job) {
  std::string m = r.report;
  const std::string prefix = job.input + ": ";
  if (m.compare(0, prefix.size(), prefix) == 0) m.erase(0, prefix.size());
  while (!m.empty() && (m.back() == '\n' || m.back() == '\r' || m.back() == ' ')) m.pop_back();
  return m;
}

}  // namespace

int run_batch(const BatchOptions& o) {
  if (!input_dir_usable(o)) return 1;
  const BatchPlan plan = plan_batch(o);
  const size_t n = plan.jobs.size();
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const size_t cpus = info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
  size_t workers = o.jobs > 0 ? size_t(o.jobs) : cpus;
  workers = std::max<size_t>(1, std::min<size_t>({workers, n, MAXIMUM_WAIT_OBJECTS}));
  SetConsoleCtrlHandler(on_console_stop, TRUE);
  BatchOptions run = o;
  run.max_memory = memory_cap(o.max_memory, available_memory(), workers);

  BatchReport reporter(plan, _isatty(_fileno(stderr)) != 0);
  const std::string exe = own_path();
  std::vector<Running> running;
  size_t next = 0;
  double stop_deadline = 0;
  const double kGraceSeconds = 5;

  while ((next < n && g_stopped == 0) || !running.empty()) {
    while (g_stopped == 0 && next < n && running.size() < workers) {
      make_parent_dirs(plan.jobs[next].output);
      Running r;
      if (!start_worker(exe, run, plan.jobs[next], next, &r)) {
        reporter.failed(next++, "could not start a worker process");
        continue;
      }
      running.push_back(r);
      ++next;
    }
    if (g_stopped != 0 && stop_deadline == 0) stop_deadline = now_seconds() + kGraceSeconds;

    std::vector<HANDLE> processes;
    for (const Running& r : running) processes.push_back(r.process);
    if (!processes.empty()) WaitForMultipleObjects(DWORD(processes.size()), processes.data(), FALSE, 200);

    const double t = now_seconds();
    for (size_t i = running.size(); i-- > 0;) {
      Running& r = running[i];
      drain(r);
      const bool finished = WaitForSingleObject(r.process, 0) == WAIT_OBJECT_0;
      const bool timed_out = o.timeout_seconds > 0 && t - r.started > o.timeout_seconds;
      const bool abandoned = stop_deadline != 0 && t > stop_deadline;
      if (!finished && !timed_out && !abandoned) continue;
      if (!finished) {
        TerminateProcess(r.process, 1);
        WaitForSingleObject(r.process, INFINITE);
      }
      drain(r);
      DWORD code = 1;
      GetExitCodeProcess(r.process, &code);
      CloseHandle(r.process);
      CloseHandle(r.output);
      const BatchJob& job = plan.jobs[r.job];
      if (finished && code == 0) {
        reporter.converted(r.job, message_of(r, job));  // a salvaged read's warning, or nothing
      } else {
        std::string failure;
        const bool crashed = code >= 0xC0000000u;
        if (!finished && timed_out)
          failure = "timed out after " + std::to_string(o.timeout_seconds) + " s";
        else if (!finished)
          failure = "stopped: the batch was interrupted";
        else if (child_ran_out(r.memory))
          failure = out_of_memory_message(run.max_memory);
        else if (crashed) {
          char text[48];
          std::snprintf(text, sizeof text, "crashed (exception 0x%08lX)", static_cast<unsigned long>(code));
          failure = text;
        } else if (r.report.empty())
          failure = "crashed (exit " + std::to_string(code) + ")";
        else
          failure = message_of(r, job);
        if (!finished || crashed) remove_abandoned_temp_files(job.output.c_str());
        reporter.failed(r.job, failure);
      }
      release_job(&r.memory);
      running.erase(running.begin() + long(i));
    }
    reporter.update(next);
  }
  SetConsoleCtrlHandler(on_console_stop, FALSE);
  reporter.finish();
  if (g_stopped != 0) return 130;
  return reporter.failures() > 0 ? 1 : 0;
}
