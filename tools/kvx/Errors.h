// Exit codes of the kvx tool, and the error that carries one to main().
#pragma once

#include <stdexcept>
#include <string>

namespace kvx::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,    // anything not listed below
    kExitUsage = 2,      // bad arguments
    kExitInput = 3,      // an input file is missing, unreadable or not a usable mesh
    kExitNotKvx = 4,     // not a KVX file
    kExitPassword = 5,   // wrong or missing password
    kExitCorrupt = 6,    // a KVX file with damaged content
    kExitWrite = 7,      // an output could not be written (or exists, without --force)
    kExitGrid = 8,       // coordinates do not fit the integer grid at the chosen unit
    kExitDifferent = 9,  // compare: the meshes differ
};

// One line for the user (what, which file, why) and the exit code that goes with it.
class CliError : public std::runtime_error {
public:
    CliError(ExitCode code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

}  // namespace kvx::cli
