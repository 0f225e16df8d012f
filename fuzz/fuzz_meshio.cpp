// Fuzz target: the command-line tool's mesh readers (binary and ASCII STL, PLY, OBJ, OFF). The
// first byte picks the format; the rest is the file.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "MeshFormats.h"

namespace {

using kvx::meshio::Format;
constexpr Format kFormats[] = {Format::Stl, Format::Ply, Format::Obj, Format::Off};

// One scratch file per format, named with the format's extension as the tool's inputs are (the
// extension picks assimp's importer), created securely and removed at exit. The names are never
// freed, so the exit handler can still use them.
const std::string& Scratch(std::size_t format) {
    static const std::vector<std::string>* paths = new std::vector<std::string>([] {
        std::vector<std::string> out;
        for (const char* extension : {".stl", ".ply", ".obj", ".off"}) {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "kvx-fuzz-meshio-XXXXXX").string() +
                extension;
            const int fd = ::mkstemps(pattern.data(), 4);
            if (fd < 0) std::abort();
            ::close(fd);
            out.push_back(pattern);
        }
        std::atexit([] {
            for (std::size_t i = 0; i < 4; ++i)
                std::filesystem::remove(Scratch(i));
        });
        return out;
    }());
    return (*paths)[format];
}

}  // namespace

// assimp 5.2 leaks a little on some malformed OFF files; our own leaks are still reported.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libassimp.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t which = data[0] % 4;
    const std::string& file = Scratch(which);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    try {
        const kvx::meshio::FloatMesh mesh = kvx::meshio::ReadMesh(file, kFormats[which]);
        // What a reader returns is consistent.
        const std::size_t points = mesh.points.size() / 3;
        if (mesh.points.size() % 3 != 0 || mesh.indices.size() % 3 != 0) std::abort();
        if (!mesh.colors.empty() && mesh.colors.size() != mesh.indices.size() / 3) std::abort();
        for (const std::uint32_t i : mesh.indices)
            if (i >= points) std::abort();
        // Groups, when there are any, cover the triangles in order.
        std::size_t next = 0;
        for (const kvx::meshio::MeshGroup& g : mesh.groups) {
            if (g.firstTriangle != next || g.triangleCount == 0) std::abort();
            next += g.triangleCount;
        }
        if (!mesh.groups.empty() && next != mesh.indices.size() / 3) std::abort();
    } catch (const kvx::meshio::MeshError&) {
    }
    return 0;
}
