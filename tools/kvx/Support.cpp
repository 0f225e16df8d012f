#include "Support.h"

#include <algorithm>
#include <filesystem>

#include "Errors.h"
#include "Progress.h"

namespace kvx::cli {

namespace fs = std::filesystem;

void ReadInput(const std::string& file, const Common& common, bool colors, MStlBase& out) {
    const auto format = meshio::FormatFromPath(file);
    if (!format)
        throw CliError(
            kExitInput,
            file + ": unknown mesh format (the name must end in .stl, .ply, .obj or .off)");
    std::error_code ec;
    if (!fs::exists(file, ec)) throw CliError(kExitInput, file + ": no such file");
    meshio::FloatMesh mesh;
    try {
        mesh = meshio::ReadMesh(file, *format);
    } catch (const meshio::MeshError& e) {
        throw CliError(kExitInput, file + ": " + e.what());
    }
    if (!colors) mesh.colors.clear();
    ToGrid(mesh, common.unit, file, out);
}

// Reads a whole KVX file with the password the options name; the progress bar is cleared after.
KvxContent OpenKvx(const std::string& input, const Common& common, Progress& progress) {
    KvxContent content = ReadKvx(input, ReadPassword(common.password, false), progress);
    progress.Clear();
    return content;
}

std::size_t ColoredTriangles(const MStlBase& mesh) {
    return static_cast<std::size_t>(
        std::count_if(mesh.Triangles().begin(), mesh.Triangles().end(),
                      [](const MStlTriangle& t) { return t.HasColor(); }));
}

}  // namespace kvx::cli
