#include "arguments.h"

#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  if (GetACP() == CP_UTF8) return {argv, argv + argc};
  // argv went through an ANSI code page that may not spell every name.
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> args;
  for (int i = 0; i < n; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string s(size > 0 ? size_t(size) : 1, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &s[0], size, nullptr, nullptr);
    s.resize(s.size() - 1);
    args.push_back(s);
  }
  LocalFree(wide);
  return args;
}
