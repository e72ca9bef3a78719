#include "batch_runner.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <vector>

#include "base/output_file.h"
#include "batch_plan.h"
#include "internal.h"
#include "lumetra.h"
#include "memory_cap.h"
#include "salvage_warning.h"

namespace {

volatile sig_atomic_t g_stop_signal = 0;
void on_stop(int sig) { g_stop_signal = sig; }

double now_seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + t.tv_nsec / 1e9;
}

// The worker: one conversion, its outcome on the pipe: '1' and what a
// salvaged read dropped (nothing for a whole file), or '0' and the message.
[[noreturn]] void run_worker(const BatchOptions& o, const BatchJob& job, int fd) {
  signal(SIGINT, SIG_IGN);  // the batch decides when a running file stops
  signal(SIGTERM, SIG_DFL);
  if (o.decoding_threads > 0) set_decoding_threads(o.decoding_threads);
  if (o.max_memory > 0) cap_worker_memory(o.max_memory, fd);
  const char* in = job.input.c_str();
  const char* out = job.output.c_str();
  const int ok = o.convert_flags >= 0 ? lumetra_convert(in, out, o.quality, o.convert_flags)
                 : o.png              ? lumetra_to_png(in, out)
                                      : lumetra_to_jpg(in, out, o.quality);
  std::string report = ok ? "1" + conversion_warning() : std::string("0") + lumetra_last_error();
  while (!report.empty() && (report.back() == '\n' || report.back() == ' ')) report.pop_back();
  (void)!write(fd, report.data(), report.size());
  _exit(0);
}

struct Running {
  pid_t pid;
  int fd;
  size_t job;
  double started;
  std::string report;
};

}  // namespace

int run_batch(const BatchOptions& o) {
  if (!input_dir_usable(o)) return 1;
  const BatchPlan plan = plan_batch(o);
  const size_t n = plan.jobs.size();
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  size_t workers = o.jobs > 0 ? size_t(o.jobs) : size_t(cpus > 0 ? cpus : 1);
  workers = std::max<size_t>(1, std::min(workers, n));
  // Workers already share the cores: each decodes its grid tiles on its
  // share of them instead of libheif's default four threads.
  BatchOptions run = o;
  run.decoding_threads = static_cast<int>(std::max<long>(1, (cpus > 0 ? cpus : 1) / long(workers)));
  run.max_memory = memory_cap(o.max_memory, available_memory(), workers);

  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  struct sigaction old_int, old_term;
  sigaction(SIGINT, &sa, &old_int);
  sigaction(SIGTERM, &sa, &old_term);

  BatchReport reporter(plan, isatty(STDERR_FILENO) != 0);
  std::vector<Running> running;
  size_t next = 0;
  double stop_deadline = 0;
  const double kGraceSeconds = 5;

  while ((next < n && g_stop_signal == 0) || !running.empty()) {
    while (g_stop_signal == 0 && next < n && running.size() < workers) {
      make_parent_dirs(plan.jobs[next].output);
      int fds[2];
      if (pipe(fds) != 0) break;
      std::fflush(nullptr);
      const pid_t pid = fork();
      if (pid == 0) {
        close(fds[0]);
        for (const Running& r : running) close(r.fd);
        run_worker(run, plan.jobs[next], fds[1]);
      }
      close(fds[1]);
      if (pid < 0) {
        close(fds[0]);
        break;
      }
      running.push_back(Running{pid, fds[0], next++, now_seconds(), ""});
    }
    if (g_stop_signal != 0 && stop_deadline == 0) stop_deadline = now_seconds() + kGraceSeconds;

    std::vector<pollfd> pfds;
    for (const Running& r : running) pfds.push_back(pollfd{r.fd, POLLIN, 0});
    poll(pfds.data(), pfds.size(), 200);

    const double t = now_seconds();
    for (size_t i = running.size(); i-- > 0;) {
      Running& r = running[i];
      bool finished = false;
      std::string failure;
      if (pfds[i].revents != 0) {
        char buf[1024];
        const ssize_t got = read(r.fd, buf, sizeof buf);
        if (got > 0) r.report.append(buf, size_t(got));
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) finished = true;
      }
      const bool timed_out = o.timeout_seconds > 0 && t - r.started > o.timeout_seconds;
      const bool abandoned = stop_deadline != 0 && t > stop_deadline;
      if (!finished && !timed_out && !abandoned) continue;
      if (!finished) kill(r.pid, SIGKILL);
      int status = 0;
      while (waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {}
      close(r.fd);
      const BatchJob& job = plan.jobs[r.job];
      const bool out_of_memory = r.report.find(kOutOfMemoryReport) == 0;
      if (out_of_memory) r.report.erase(0, 1);
      if (finished && WIFEXITED(status) && !r.report.empty() && r.report[0] == '1') {
        reporter.converted(r.job, r.report.substr(1));
      } else {
        // A crash or a hang after the cap refused memory is the cap's doing.
        if (out_of_memory && (finished || timed_out))
          failure = out_of_memory_message(run.max_memory);
        else if (!finished && timed_out)
          failure = "timed out after " + std::to_string(o.timeout_seconds) + " s";
        else if (!finished)
          failure = "stopped: the batch was interrupted";
        else if (WIFSIGNALED(status))
          failure = "crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
        else if (r.report.empty())
          failure = "crashed (exit " + std::to_string(WEXITSTATUS(status)) + ")";
        else
          failure = r.report.substr(1);
        if (!finished || WIFSIGNALED(status)) remove_abandoned_temp_files(job.output.c_str());
        reporter.failed(r.job, failure);
      }
      running.erase(running.begin() + long(i));
    }
    reporter.update(next);
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  reporter.finish();
  if (g_stop_signal != 0) return 128 + g_stop_signal;
  return reporter.failures() > 0 ? 1 : 0;
}
