// The lumetra tool run as a child process, and the directories the batch
// and tool tests fill with copies of one small HEIF.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#ifndef _WIN32
#  include <sys/wait.h>
#endif

#include "fixtures.h"

inline std::string heif_source() {
  HeifRecipe s;
  s.width = 24, s.height = 16;
  return heif_fixture("batch_src.heic", s);
}

inline std::string fresh_dir(const std::string& name) {
  const std::string d = scratch_path(name);
  remove_tree(d);
  std::filesystem::create_directories(d);
  return d;
}

inline std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

inline void copy_heif(const std::string& to) {
  std::filesystem::copy_file(heif_source(), to, std::filesystem::copy_options::overwrite_existing);
}

struct CliRun {
  int status;
  std::string out, err;
};

// The separator the tool puts between a directory and a name.
#ifdef _WIN32
inline const std::string kSep = "\\";
#else
inline const std::string kSep = "/";
#endif

inline CliRun run_cli_env(const std::string& env, const std::string& args) {
  const std::string o = scratch_path("cli.out"), e = scratch_path("cli.err");
#ifdef _WIN32
  (void)env;
  // cmd.exe takes the whole line in quotes when it starts with a quote.
  const std::string cmd = "\"\"" + std::string(LUMETRA_CLI) + "\" " + args + " >\"" + o + "\" 2>\"" + e + "\" <NUL\"";
  const int rc = std::system(cmd.c_str());
#else
  const std::string cmd = env + " " + std::string(LUMETRA_CLI) + " " + args + " >" + o + " 2>" + e + " </dev/null";
  const int status = std::system(cmd.c_str());
  const int rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  const Bytes ob = read_file(o), eb = read_file(e);
  auto text = [](const Bytes& b) {
    std::string t(b.begin(), b.end());
    for (size_t at; (at = t.find("\r\n")) != std::string::npos;) t.erase(at, 1);  // text-mode streams
    return t;
  };
  return CliRun{rc, text(ob), text(eb)};
}

inline CliRun run_cli(const std::string& args) { return run_cli_env("", args); }

inline bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }
