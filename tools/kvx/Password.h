// Where a password comes from. Never from the command line itself, where the process list would
// show it: from a prompt on the terminal (not echoed), a file, or an environment variable.
#pragma once

#include <optional>
#include <string>

namespace kvx::cli {

struct PasswordSource {
    bool prompt = false;   // --password
    std::string file;      // --password-file FILE: its first line
    std::string variable;  // --password-env NAME
};

// The password, or nothing when no source was given. `confirm` asks twice at a prompt (for
// writing). Throws CliError (password) when the source gives nothing usable.
std::optional<std::string> ReadPassword(const PasswordSource& source, bool confirm);

}  // namespace kvx::cli
