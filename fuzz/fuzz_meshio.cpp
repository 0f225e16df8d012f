// Fuzz target: the command-line tool's mesh readers (binary and ASCII STL, PLY, OBJ, OFF). The
// first byte picks the format; the rest is the file.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "MeshFormats.h"

namespace {

// One scratch file per process, removed at exit (the name is never freed, so the exit handler
// can still use it).
const std::string& Scratch() {
    static const std::string* path = new std::string([] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kvx-fuzz-meshio-XXXXXX").string();
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0) std::abort();
        ::close(fd);
        std::atexit([] { std::filesystem::remove(Scratch()); });
        return pattern;
    }());
    return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    using kvx::meshio::Format;
    static constexpr Format kFormats[] = {Format::Stl, Format::Ply, Format::Obj, Format::Off};
    const Format format = kFormats[data[0] % 4];
    {
        std::ofstream out(Scratch(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    try {
        const kvx::meshio::FloatMesh mesh = kvx::meshio::ReadMesh(Scratch(), format);
        // What a reader returns is consistent.
        const std::size_t points = mesh.points.size() / 3;
        if (mesh.points.size() % 3 != 0 || mesh.indices.size() % 3 != 0) std::abort();
        if (!mesh.colors.empty() && mesh.colors.size() != mesh.indices.size() / 3) std::abort();
        for (const std::uint32_t i : mesh.indices)
            if (i >= points) std::abort();
    } catch (const kvx::meshio::MeshError&) {
    }
    return 0;
}
