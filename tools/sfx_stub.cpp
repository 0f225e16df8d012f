// The stub of a self-extracting KVX package. The package is this program followed by a KVX file;
// when packaged, the marker text below carries this program's size. Run, it writes the KVX file
// next to itself (its name with the extension ".kvx"), or to the path given as the argument.
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

}  // namespace

int main(int argc, char** argv) {
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
    std::string target = argc > 1 ? argv[1] : std::string(self);
    if (argc <= 1) {
        const std::size_t slash = target.rfind('/'), dot = target.rfind('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
            target.erase(dot);
        target += ".kvx";
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
    // name, so no file or link already there is followed or truncated) and renamed over the
    // target, so a failure never leaves a partial file.
    std::string partial = target + ".XXXXXX.part";
    const int fd = ::mkstemps(partial.data(), 5);
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
    char buffer[1 << 16];
    for (std::size_t got; ok && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
        ok = std::fwrite(buffer, 1, got, out) == got;
    ok = ok && !std::ferror(in);
    std::fclose(in);
    // The extracted file gets the mode a newly created file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ok = ::fchmod(fd, 0666 & ~mask) == 0 && ok;
    ok = std::fclose(out) == 0 && ok && std::rename(partial.c_str(), target.c_str()) == 0;
    if (!ok) {
        std::remove(partial.c_str());
        return Fail("cannot write", target);
    }
    std::printf("%s\n", target.c_str());
    return 0;
}
