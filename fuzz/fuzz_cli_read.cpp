// Fuzz target: the command-line tool's KVX reading (a KVX file or a self-extracting package),
// with and without a password, taking every data block. Failures must be the tool's errors.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "maker/Logging.h"
#include "tools/kvx/Errors.h"
#include "tools/kvx/KvxFile.h"
#include "tools/kvx/Progress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        SetLogSink([](const LogMessage&) {});
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/kvx-fuzz-cli-" +
               std::to_string(::getpid()) + ".kvx";
    }();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    const std::optional<std::string> password =
        size > 0 && (data[0] & 1) ? std::optional<std::string>("pw") : std::nullopt;
    kvx::cli::Progress progress(true);
    try {
        kvx::cli::KvxContent content = kvx::cli::ReadKvx(path, password, progress);
        for (const kvx::cli::KvxMesh& mesh : content.meshes)
            for (const MStlTriangle& t : mesh.mesh.Triangles())
                for (const std::uint32_t p : t.points)
                    if (p >= mesh.mesh.NumberOfPoints()) std::abort();
        for (std::uint64_t b = 0; b < content.DataBlockCount(); ++b)
            (void)content.DataBlock(b);
    } catch (const kvx::cli::CliError&) {
    }
    ::unlink(path.c_str());
    return 0;
}
