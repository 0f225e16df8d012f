#include "Password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "Errors.h"
#include "TempFiles.h"

namespace kvx::cli {

namespace {

// Prompts on the controlling terminal with echo off, so that neither the screen nor a redirected
// standard input sees the password.
std::string Prompt(const char* text) {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0)
        throw CliError(kExitPassword,
                       "no terminal to ask for the password; use --password-file or "
                       "--password-env");
    termios saved{};
    const bool isTerminal = ::tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        // A signal during the prompt gives the terminal its echo back.
        RememberTerminal(tty, saved);
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    [[maybe_unused]] const auto shown = ::write(tty, text, std::char_traits<char>::length(text));
    std::string line;
    char c;
    while (::read(tty, &c, 1) == 1 && c != '\n' && line.size() < 4096)
        line.push_back(c);
    if (isTerminal) {
        ::tcsetattr(tty, TCSAFLUSH, &saved);
        ForgetTerminal();
    }
    ::close(tty);
    return line;
}

}  // namespace

std::optional<std::string> ReadPassword(const PasswordSource& source, bool confirm) {
    std::string password;
    if (!source.file.empty()) {
        std::ifstream in(source.file, std::ios::binary);
        if (!in) throw CliError(kExitPassword, source.file + ": cannot read the password file");
        std::getline(in, password);
        if (!password.empty() && password.back() == '\r') password.pop_back();
    } else if (!source.variable.empty()) {
        const char* value = std::getenv(source.variable.c_str());
        if (value == nullptr)
            throw CliError(kExitPassword,
                           "the environment variable " + source.variable + " is not set");
        password = value;
    } else if (source.prompt) {
        password = Prompt("Password: ");
        if (confirm && Prompt("Password again: ") != password)
            throw CliError(kExitPassword, "the passwords do not match");
    } else {
        return std::nullopt;
    }
    if (password.empty()) throw CliError(kExitPassword, "the password is empty");
    return password;
}

}  // namespace kvx::cli
