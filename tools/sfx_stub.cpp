// The stub of a self-extracting KVX package. The package is this program followed by a KVX file;
// when packaged, the marker text below carries this program's size. Run, it writes the KVX file
// next to itself (its name with the extension ".kvx"), or to the path given as the argument;
// an existing file is replaced only with --force. It has no dependencies beyond the C library.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Patched by the packager: " %8d" and a NUL from the second byte after "timecode" on.
volatile const char kMarker[] = "Invalid KVX timecode %d:%d:%d-%04d";
constexpr std::size_t kMarkerLength = 20;

int Fail(const char* what, const std::string& path) {
    std::fprintf(stderr, "kvx package: %s: %s (%s)\n", what, path.c_str(), std::strerror(errno));
    return 1;
}

// The partial file, removed when a signal ends the program.
char partialPath[PATH_MAX + 16];
volatile sig_atomic_t partialMade = 0;

void OnSignal(int signal) {
    if (partialMade) ::unlink(partialPath);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void Usage(std::FILE* to, const char* self) {
    std::fprintf(
        to,
        "usage: %s [-f|--force] [OUTPUT.kvx]\n"
        "Writes the KVX file this package holds to OUTPUT.kvx, or beside the package under\n"
        "its name with the extension .kvx. An existing file is replaced only with --force.\n",
        self);
}

}  // namespace

int main(int argc, char** argv) {
    bool force = false, options = true;
    const char* given = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && (arg == "-h" || arg == "--help")) {
            Usage(stdout, argv[0]);
            return 0;
        }
        if (options && (arg == "-f" || arg == "--force")) {
            force = true;
        } else if (options && arg == "--") {
            options = false;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "kvx package: unknown option %s\n", arg.c_str());
            Usage(stderr, argv[0]);
            return 2;
        } else if (given != nullptr) {
            std::fprintf(stderr, "kvx package: one output file only (%s and %s given)\n", given,
                         arg.c_str());
            return 2;
        } else {
            given = argv[i];
        }
    }

    char text[sizeof kMarker];
    for (std::size_t i = 0; i < sizeof kMarker; ++i)
        text[i] = kMarker[i];
    char* end = nullptr;
    const long stubSize = std::strtol(text + kMarkerLength + 1, &end, 10);
    if (stubSize <= 0 || end == text + kMarkerLength + 1) {
        std::fprintf(stderr, "kvx package: this stub has not been packaged with a KVX file\n");
        return 2;
    }

    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return Fail("cannot find this program", "/proc/self/exe");
    self[n] = '\0';
    std::string target = given != nullptr ? given : std::string(self);
    if (given == nullptr) {
        const std::size_t slash = target.rfind('/'), dot = target.rfind('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
            target.erase(dot);
        target += ".kvx";
    }
    struct stat st;
    if (!force && ::lstat(target.c_str(), &st) == 0) {
        std::fprintf(stderr, "kvx package: %s: exists already (use --force to replace it)\n",
                     target.c_str());
        return 1;
    }

    std::FILE* in = std::fopen(self, "rb");
    if (in == nullptr || std::fseek(in, stubSize, SEEK_SET) != 0) return Fail("cannot read", self);
    char magic[4];
    if (std::fread(magic, 1, 4, in) != 4 ||
        (std::memcmp(magic, "QORZ", 4) != 0 && std::memcmp(magic, "QORC", 4) != 0)) {
        std::fclose(in);
        std::fprintf(stderr, "kvx package: no KVX file follows the stub in %s\n", self);
        return 2;
    }
    // Written to a new file beside the target (created exclusively, mode 0600, under a fresh
    // name, so no file or link already there is followed or truncated) and renamed to the
    // target, so a failure never leaves a partial file.
    std::string partial = target + ".XXXXXX.part";
    if (partial.size() >= sizeof partialPath) {
        errno = ENAMETOOLONG;
        return Fail("cannot write", target);
    }
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGPIPE}) {
        struct sigaction before {};
        if (::sigaction(s, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            ::signal(s, OnSignal);
    }
    const int fd = ::mkstemps(partial.data(), 5);
    if (fd >= 0) {
        std::memcpy(partialPath, partial.c_str(), partial.size() + 1);
        partialMade = 1;
    }
    std::FILE* out = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (out == nullptr) {
        const int error = errno;
        if (fd >= 0) {
            ::close(fd);
            std::remove(partial.c_str());
        }
        std::fclose(in);
        errno = error;
        return Fail("cannot write", target);
    }
    bool ok = std::fwrite(magic, 1, 4, out) == 4;
    long long bytes = 4;
    char buffer[1 << 16];
    for (std::size_t got; ok && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
        ok = std::fwrite(buffer, 1, got, out) == got;
        bytes += static_cast<long long>(got);
    }
    ok = ok && !std::ferror(in);
    std::fclose(in);
    // The extracted file gets the mode a newly created file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ok = ::fchmod(fd, 0666 & ~mask) == 0 && ok;
    ok = std::fclose(out) == 0 && ok;
    // Without --force, a file that appeared meanwhile is not replaced either.
    if (ok && force) {
        ok = std::rename(partial.c_str(), target.c_str()) == 0;
    } else if (ok) {
        ok =
            ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
        bool linked = false;
        if (!ok && errno == EINVAL)  // file systems without RENAME_NOREPLACE
            ok = linked = ::link(partial.c_str(), target.c_str()) == 0;
        if (!ok && errno == EEXIST) {
            std::remove(partial.c_str());
            std::fprintf(stderr, "kvx package: %s: exists already (use --force to replace it)\n",
                         target.c_str());
            return 1;
        }
        if (linked) ::unlink(partial.c_str());
    }
    if (!ok) {
        const int error = errno;
        std::remove(partial.c_str());
        errno = error;
        return Fail("cannot write", target);
    }
    partialMade = 0;
    std::printf("wrote %s (%lld bytes)\n", target.c_str(), bytes);
    return 0;
}
