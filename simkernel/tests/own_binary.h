// Runs some tests of this very gtest binary in a child process, so that a test can check
// how others end (a failure that must stay inside its own test, the run going on after it).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

struct ChildRun {
  std::string output;
  bool exited = false;  // ended by exit, not by a signal (std::terminate aborts)
  int exitCode = -1;
};

// `filter` is a gtest filter; disabled tests run too, so victims can be kept out of the
// normal run by a DISABLED_ prefix.
inline ChildRun RunOwnTests(const std::string& filter) {
  ChildRun run;
  std::array<char, 4096> self{};
  ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) return run;
  std::string command = "'" + std::string(self.data(), static_cast<size_t>(length)) + "' --gtest_filter='" +
                        filter + "' --gtest_also_run_disabled_tests 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer;
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.output.append(buffer.data(), got);
  int status = pclose(pipe);
  run.exited = status != -1 && WIFEXITED(status);
  run.exitCode = run.exited ? WEXITSTATUS(status) : -1;
  return run;
}

// The lines gtest prints for one test's end.
inline bool TestPassed(const ChildRun& run, const std::string& name) {
  return run.output.find("[       OK ] " + name + " (") != std::string::npos;
}
inline bool TestFailed(const ChildRun& run, const std::string& name) {
  return run.output.find("[  FAILED  ] " + name + " (") != std::string::npos;
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
