#pragma once

#include <string>
#include <vector>

namespace platform {

// How a program run by RunProgram ended.
struct ProgramResult {
  bool started = false;   // the program was found and executed
  int startError = 0;     // errno of the failed start when !started
  bool exited = false;    // it ended by exit (else by the signal below)
  int exitStatus = -1;    // its exit status when exited
  int signal = 0;         // the signal that ended it when !exited
  std::string errorOutput;  // what it wrote to standard error, when captured

  bool Succeeded() const { return started && exited && exitStatus == 0; }
};

struct ProgramOptions {
  // Standard output goes to /dev/null instead of the caller's.
  bool quietOutput = false;
  // Standard error is collected into ProgramResult::errorOutput instead of
  // going to the caller's (false: it goes to /dev/null when quietOutput).
  bool captureErrorOutput = false;
};

// Runs argv (argv[0] is searched in PATH when it holds no "/"), with the
// caller's environment and standard input, and waits until it has ended.
ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});

// Whether an executable of that name is found in PATH (or, with a "/", at that
// path).
bool ProgramAvailable(const std::string& name);

}  // namespace platform
