#include "platform/privileged_run.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "platform/child_process.h"

namespace platform {
namespace {

constexpr char kPkexec[] = "/usr/bin/pkexec";

// The error output without the line break it ends with.
std::string WithoutTrailingBreaks(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string DescribeFailure(const std::string& program, const ProgramResult& result) {
  if (!result.started) return program + ": " + std::strerror(result.startError);
  std::string output = WithoutTrailingBreaks(result.errorOutput);
  if (!output.empty()) return output;
  if (!result.exited) {
    const char* name = sigdescr_np(result.signal);
    return "The command was ended by signal " + std::to_string(result.signal) +
           (name ? std::string(" (") + name + ")" : std::string()) + ".";
  }
  return "The command exited with status " + std::to_string(result.exitStatus) + ".";
}

}  // namespace

std::vector<std::string> PrivilegedCommandLine(const std::vector<std::string>& argv, bool superUser) {
  if (superUser) return argv;
  std::vector<std::string> line{kPkexec};
  line.insert(line.end(), argv.begin(), argv.end());
  return line;
}

PrivilegedRunResult RunWithAdministratorPrivileges(const std::vector<std::string>& argv) {
  PrivilegedRunResult outcome;
  if (argv.empty() || argv.front().empty() || argv.front().front() != '/') {
    outcome.errorMessage = "The command must be named by an absolute path.";
    return outcome;
  }
  std::vector<std::string> line = PrivilegedCommandLine(argv, geteuid() == 0);
  ProgramOptions options;
  options.quietOutput = true;
  options.captureErrorOutput = true;
  ProgramResult result = RunProgram(line, options);
  outcome.succeeded = result.Succeeded();
  if (!outcome.succeeded) outcome.errorMessage = DescribeFailure(line.front(), result);
  return outcome;
}

}  // namespace platform
