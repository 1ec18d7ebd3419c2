#pragma once

#include <string>
#include <vector>

namespace platform {

// How a command run with administrator rights went.
struct PrivilegedRunResult {
  bool succeeded = false;
  // On failure, what the runner reports: the command's error output, or how
  // it ended when it wrote none.  A refused or dismissed authentication
  // prompt is such a failure, with pkexec's text.
  std::string errorMessage;
};

// Runs argv (argv[0] an absolute path) as the super-user and waits until it
// has ended: through pkexec, which asks for authorisation the way the desktop
// does, or directly when the process already runs as the super-user.  The
// command's standard output is dropped; it succeeds when it exits with 0.
PrivilegedRunResult RunWithAdministratorPrivileges(const std::vector<std::string>& argv);

// The command line used for argv: argv itself for the super-user, else argv
// behind pkexec.
std::vector<std::string> PrivilegedCommandLine(const std::vector<std::string>& argv, bool superUser);

}  // namespace platform
