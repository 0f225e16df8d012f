#include "TempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Errors.h"

namespace kvx::cli {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGPIPE};

// The private folders, as the signal handler reads them: a path is written before its slot is
// marked used, and a slot is unmarked before anything else touches it.
struct Slot {
    char path[PATH_MAX];
    volatile sig_atomic_t used;
};
// One for TMPDIR and one per output folder; the tool writes into one or two folders per run.
Slot slots[16];

volatile sig_atomic_t terminalSaved = 0;
int terminalFd = -1;
termios terminalSettings;

std::string userTempFolder = "/tmp";
std::string privateTempFolder;                         // empty: none, TMPDIR is the user's
std::map<std::string, std::filesystem::path> staging;  // output folder -> its staging folder
int holds = 0;
sigset_t heldMask, maskBeforeHold;

// Removes the files in `path`, then the folder; only async-signal-safe calls. Each pass reads
// the folder from its start, as removing entries while reading may hide some.
void RemoveFolder(const char* path) {
    for (int pass = 0; pass < 8; ++pass) {
        const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) break;
        alignas(dirent64) char buffer[4096];
        bool removed = false;
        for (;;) {
            const ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
            if (got <= 0) break;
            for (ssize_t at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                const char* name = entry->d_name;
                if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
                    ::unlinkat(fd, name, 0) == 0)
                    removed = true;
                at += entry->d_reclen;
            }
        }
        ::close(fd);
        if (!removed) break;
    }
    ::rmdir(path);
}

void RemoveAll() {
    for (Slot& slot : slots)
        if (slot.used) {
            RemoveFolder(slot.path);
            slot.used = 0;
        }
}

void OnSignal(int signal) {
    if (terminalSaved) ::tcsetattr(terminalFd, TCSANOW, &terminalSettings);
    RemoveAll();
    // Ends the program as the signal would have: it is delivered when this handler returns.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Registers `path` (a folder this run created) for removal.
void Register(const std::string& path) {
    for (Slot& slot : slots)
        if (!slot.used && path.size() < sizeof slot.path) {
            std::memcpy(slot.path, path.c_str(), path.size() + 1);
            slot.used = 1;
            return;
        }
    ::rmdir(path.c_str());
    throw CliError(kExitWrite, path + ": too many output folders in one run");
}

// A new private folder `parent`/`name`XXXXXX; "" with errno set when it cannot be made.
std::string NewFolder(const std::filesystem::path& parent, const std::string& name) {
    std::string pattern = (parent / (name + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    // Absolute, so that the handler finds it whatever the current folder.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(pattern, ec);
    const std::string folder = ec ? pattern : absolute.string();
    Register(folder);
    return folder;
}

}  // namespace

void StartTempFiles() {
    sigemptyset(&heldMask);
    for (int s : kSignals)
        sigaddset(&heldMask, s);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_mask = heldMask;  // one cleanup at a time
    for (int s : kSignals) {
        struct sigaction before {};
        // A signal ignored by whoever started the tool (nohup, `trap '' XFSZ`) stays ignored.
        if (::sigaction(s, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &action, nullptr);
    }
    std::atexit(EndTempFiles);

    const char* env = std::getenv("TMPDIR");
    if (env != nullptr && *env != '\0') userTempFolder = env;
    privateTempFolder = NewFolder(userTempFolder, "kvx-");
    if (!privateTempFolder.empty()) ::setenv("TMPDIR", privateTempFolder.c_str(), 1);
}

void EndTempFiles() {
    HoldSignals hold;
    RemoveAll();
    staging.clear();
    if (!privateTempFolder.empty()) {
        ::setenv("TMPDIR", userTempFolder.c_str(), 1);
        privateTempFolder.clear();
    }
}

std::string TempFolderDescription() {
    return "TMPDIR (" + userTempFolder + ")";
}

std::filesystem::path TempFolder() {
    return privateTempFolder.empty() ? userTempFolder : privateTempFolder;
}

std::filesystem::path NewTempFile(const std::string& prefix) {
    std::string pattern = (TempFolder() / (prefix + "-XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);  // O_EXCL, mode 0600
    if (fd < 0)
        throw CliError(kExitWrite, "cannot write a temporary file in " + TempFolderDescription() +
                                       ": " + std::strerror(errno));
    ::close(fd);
    return pattern;
}

std::filesystem::path StagingFolder(const std::filesystem::path& folder) {
    const std::filesystem::path where = folder.empty() ? std::filesystem::path(".") : folder;
    const std::string key = where.lexically_normal().string();
    const auto found = staging.find(key);
    if (found != staging.end()) return found->second;
    HoldSignals hold;  // registered before a signal can miss it
    const std::string made = NewFolder(where, ".kvx-partial-");
    if (made.empty())
        throw CliError(kExitWrite, where.string() + ": cannot write in this folder (" +
                                       std::strerror(errno) + ")");
    return staging.emplace(key, made).first->second;
}

HoldSignals::HoldSignals() {
    if (holds++ == 0) ::sigprocmask(SIG_BLOCK, &heldMask, &maskBeforeHold);
}

HoldSignals::~HoldSignals() {
    if (--holds == 0) ::sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
}

void RememberTerminal(int fd, const termios& settings) {
    terminalSaved = 0;
    terminalFd = fd;
    terminalSettings = settings;
    terminalSaved = 1;
}

void ForgetTerminal() {
    terminalSaved = 0;
}

}  // namespace kvx::cli
