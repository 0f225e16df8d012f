#include "Commands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <set>

#include "DataBlock.h"
#include "Errors.h"
#include "OutputFile.h"
#include "Progress.h"
#include "Support.h"
#include "Text.h"
#include "Utf8.h"
#include "kvx.h"

namespace kvx::cli {

namespace fs = std::filesystem;

namespace {

// A file name made from a mesh or block name: no folders, no hidden or control characters.
std::string SafeFileName(const std::string& name, const std::string& fallback) {
    std::string out;
    for (const char c : name)
        out.push_back(
            static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\' || c == 0x7F ? '_' : c);
    out.erase(0, out.find_first_not_of(". "));
    if (out.size() > 200) out.resize(200);
    return out.empty() ? fallback : out;
}

// Keeps every output name distinct ("name", "name-2", ...).
std::string Unique(std::set<std::string>& used, const std::string& stem, const std::string& ext) {
    std::string name = stem + ext;
    for (int n = 2; !used.insert(name).second; ++n)
        name = stem + "-" + std::to_string(n) + ext;
    return name;
}
}  // namespace

int Unpack(const UnpackOptions& options, const Common& common) {
    Progress progress(common.quiet);
    const KvxContent content = OpenKvx(options.input, common, progress);

    // The meshes' names are settled (and checked) before anything is written.
    const fs::path folder = options.folder;
    const char* ext = options.format == meshio::Format::Ply   ? ".ply"
                      : options.format == meshio::Format::Obj ? ".obj"
                                                              : ".stl";
    std::set<std::string> used;
    std::vector<std::string> meshFiles, mtlFiles;
    for (std::size_t i = 0; i < content.meshes.size(); ++i) {
        const std::string stem =
            SafeFileName(content.meshes[i].name, "mesh-" + std::to_string(i + 1));
        meshFiles.push_back(Unique(used, stem, ext));
        const bool withMtl = options.format == meshio::Format::Obj && options.colors &&
                             content.meshes[i].mesh.HasColoredTriangles();
        mtlFiles.push_back(
            withMtl ? Unique(used, fs::path(meshFiles.back()).stem().string(), ".mtl") : "");
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec))
        throw CliError(kExitWrite, folder.string() + ": cannot create the folder");
    for (const std::string& name : used)
        RefuseExisting(folder / name, common.force);

    // Files are staged (each closed once written) and committed together, so a failure leaves
    // none of them behind.
    std::vector<std::unique_ptr<OutputFile>> staged;
    const std::uint64_t blocks = content.DataBlockCount();
    progress.SetSteps(content.meshes.size() + blocks + 1);
    // Data blocks one at a time: each is taken from the file, named, written and dropped.
    std::vector<std::string> dataFiles;
    std::vector<std::uint64_t> dataBytes;
    for (std::uint64_t i = 0; i < blocks; ++i) {
        const std::vector<unsigned short> block = content.DataBlock(i);
        const DataFileLayout layout = ReadDataFileLayout(block);
        const fs::path name = SafeFileName(layout.name, "data-" + std::to_string(i + 1) + ".bin");
        dataFiles.push_back(Unique(used, name.stem().string(), name.extension().string()));
        dataBytes.push_back(layout.size);
        progress.Step(i, "writing " + dataFiles.back());
        auto& file = staged.emplace_back(
            std::make_unique<OutputFile>(folder / dataFiles.back(), common.force));
        WriteDataFile(block, layout, file->stream());
        file->Close();
    }
    for (std::size_t i = 0; i < content.meshes.size(); ++i) {
        progress.Step(blocks + i, "writing " + meshFiles[i]);
        const KvxMesh& source = content.meshes[i];
        meshio::FloatMesh mesh = FromGrid(source.mesh, common.unit, options.colors);
        if (options.colors && source.color)
            mesh.objectColor = std::array<std::uint8_t, 4>{source.color->red, source.color->green,
                                                           source.color->blue, 0xFF};
        meshio::WriteOptions write;
        write.colors = options.colors;
        write.stlColors = options.stlColors;
        write.asciiStl = options.asciiStl;
        write.name = source.name;
        auto& file =
            staged.emplace_back(std::make_unique<OutputFile>(folder / meshFiles[i], common.force));
        OutputFile& meshFile = *file;
        try {
            if (options.format == meshio::Format::Obj) {
                std::unique_ptr<OutputFile> mtl;
                if (!mtlFiles[i].empty())
                    mtl = std::make_unique<OutputFile>(folder / mtlFiles[i], common.force);
                meshio::WriteObj(meshFile.stream(), mtl ? &mtl->stream() : nullptr, mtlFiles[i],
                                 mesh, write);
                if (mtl) {
                    mtl->Close();
                    staged.push_back(std::move(mtl));
                }
            } else {
                meshio::WriteMesh(meshFile.stream(), mesh, options.format, write);
            }
        } catch (const meshio::MeshError& e) {
            throw CliError(kExitWrite, (folder / meshFiles[i]).string() + ": " + e.what());
        }
        meshFile.Close();
    }
    progress.Step(content.meshes.size() + blocks, "finishing");
    // A failed commit takes back the files this run has already put in place.
    std::vector<fs::path> committed;
    try {
        for (auto& file : staged) {
            file->Commit();
            committed.push_back(file->target());
        }
    } catch (const CliError&) {
        for (const fs::path& path : committed)
            fs::remove(path, ec);
        throw;
    }
    progress.Clear();
    if (!common.quiet) {
        for (std::size_t i = 0; i < meshFiles.size(); ++i)
            std::printf("%s: %s triangles\n", (folder / meshFiles[i]).string().c_str(),
                        Count(content.meshes[i].mesh.NumberOfTriangles()).c_str());
        for (std::size_t i = 0; i < dataFiles.size(); ++i)
            std::printf("%s: %s bytes of data\n", (folder / dataFiles[i]).string().c_str(),
                        Count(dataBytes[i]).c_str());
    }
    return kExitOk;
}

}  // namespace kvx::cli
