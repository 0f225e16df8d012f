// The tool's temporary files, and what happens to them when a signal ends the program.
//
// Everything temporary lives in private folders (mkdtemp, mode 0700): one in the user's TMPDIR,
// which TMPDIR points at while the tool runs so that the library's own temporary files (the
// unwrapped, de-obfuscated content of a KVX file among them) go there too, and one staging
// folder beside each output, where files are written before they are renamed into place.
// SIGINT, SIGTERM, SIGHUP, SIGXFSZ and SIGPIPE (each unless it was ignored when the tool
// started) remove these folders with what is in them, give the terminal back its settings when
// a password prompt had changed them, and end the program by the same signal.
#pragma once

#include <termios.h>

#include <filesystem>
#include <string>

namespace kvx::cli {

// Installs the signal handlers and creates the private folder in TMPDIR. Without one (TMPDIR
// cannot take a folder) TMPDIR is left alone and the failure shows where a file is needed.
void StartTempFiles();
// Removes the private folders and their files; also run at exit.
void EndTempFiles();

// "TMPDIR (/path)" for messages, naming the folder the user chose.
std::string TempFolderDescription();

// The private folder in TMPDIR (TMPDIR itself when there is none).
std::filesystem::path TempFolder();

// A new empty file (exclusive, mode 0600) in the private folder, named PREFIX-XXXXXX; throws
// CliError (write) naming TMPDIR and the reason when it cannot be created.
std::filesystem::path NewTempFile(const std::string& prefix);

// The staging folder for outputs in `folder` (created on first use, hidden, mode 0700); throws
// CliError (write) with the reason when the folder cannot take it.
std::filesystem::path StagingFolder(const std::filesystem::path& folder);

// While one exists, the signals above wait: files being moved into place are never left half
// done. They are delivered when the last holder goes.
class HoldSignals {
public:
    HoldSignals();
    ~HoldSignals();
    HoldSignals(const HoldSignals&) = delete;
    HoldSignals& operator=(const HoldSignals&) = delete;
};

// The terminal settings a signal restores while a prompt has changed them.
void RememberTerminal(int fd, const termios& settings);
void ForgetTerminal();

}  // namespace kvx::cli
