#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
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

// The meshes to write: all, or those --mesh names (each name must be there).
std::vector<std::size_t> Selected(const KvxContent& content, const UnpackOptions& options) {
    std::vector<std::size_t> out;
    if (options.meshes.empty()) {
        for (std::size_t i = 0; i < content.meshes.size(); ++i)
            out.push_back(i);
        return out;
    }
    for (const std::string& name : options.meshes) {
        const auto it = std::find_if(content.meshes.begin(), content.meshes.end(),
                                     [&](const KvxMesh& m) { return m.name == name; });
        if (it == content.meshes.end()) {
            std::string names;
            for (const KvxMesh& m : content.meshes)
                names += (names.empty() ? "" : ", ") + ("\"" + m.name + "\"");
            throw CliError(kExitUsage,
                           options.input + ": no mesh named \"" + name + "\" (the file has " +
                               (names.empty() ? std::string("no meshes") : names) + ")");
        }
        const std::size_t index = static_cast<std::size_t>(it - content.meshes.begin());
        if (std::find(out.begin(), out.end(), index) == out.end()) out.push_back(index);
    }
    return out;
}

// The mesh as the output format gets it, with warnings for what the format cannot hold.
meshio::FloatMesh ForWriting(const KvxMesh& source, const GridUnit& unit,
                             const UnpackOptions& options, bool mtl, const std::string& shown) {
    meshio::FloatMesh mesh = FromGrid(source.mesh, unit, options.colors);
    if (options.colors && source.color)
        mesh.objectColor = std::array<std::uint8_t, 4>{source.color->red, source.color->green,
                                                       source.color->blue, 0xFF};
    const std::size_t colored = ColoredTriangles(source.mesh);
    if (options.colors && colored > 0) {
        if (options.format == meshio::Format::Stl && options.ascii)
            Warn(shown + ": ASCII STL cannot hold colours; " +
                 Plural(colored, "coloured triangle", "coloured triangles") +
                 " written without (binary STL, PLY or OBJ keep them)");
        else if (options.format == meshio::Format::Obj && !mtl)
            Warn(shown + ": OBJ colours need a material file beside it; " +
                 Plural(colored, "coloured triangle", "coloured triangles") + " written without");
    }
    if (source.mesh.NumberOfTriangles() == 0 && source.mesh.NumberOfPoints() > 0)
        Warn(shown + ": the mesh has " + Plural(source.mesh.NumberOfPoints(), "point", "points") +
             " and no triangles; the file holds no geometry");
    return mesh;
}

meshio::WriteOptions WriteChoices(const KvxMesh& source, const UnpackOptions& options) {
    meshio::WriteOptions write;
    write.colors = options.colors;
    write.stlColors = options.stlColors;
    write.ascii = options.ascii;
    write.name = source.name;
    return write;
}

// unpack -o -: the one mesh to standard output.
int UnpackToStdout(const OpenedKvx& opened, const UnpackOptions& options, const Common& common) {
    const std::vector<std::size_t> chosen = Selected(opened.content, options);
    if (chosen.size() != 1)
        throw CliError(kExitUsage, options.input + ": -o - writes one mesh, and the file has " +
                                       Plural(chosen.size(), "mesh", "meshes") +
                                       "; choose one with --mesh NAME");
    if (::isatty(STDOUT_FILENO) == 1)
        throw CliError(kExitUsage, "unpack: standard output is a terminal; redirect it to a file");
    if (opened.dataBlocks > 0 && !common.quiet)
        Warn(options.input + ": " + Plural(opened.dataBlocks, "data block", "data blocks") +
             " not written (only the mesh goes to standard output)");
    const KvxMesh& source = opened.content.meshes[chosen.front()];
    const meshio::FloatMesh mesh =
        ForWriting(source, opened.unit, options, false, "standard output");
    try {
        if (options.format == meshio::Format::Obj)
            meshio::WriteObj(std::cout, nullptr, "", mesh, WriteChoices(source, options));
        else
            meshio::WriteMesh(std::cout, mesh, options.format, WriteChoices(source, options));
        std::cout.flush();
    } catch (const meshio::MeshError& e) {
        throw CliError(kExitWrite, std::string("standard output: ") + e.what());
    }
    if (!std::cout)
        throw CliError(kExitWrite,
                       std::string("standard output: cannot write (") + std::strerror(errno) + ")");
    return kExitOk;
}

}  // namespace

int Unpack(const UnpackOptions& options, const Common& common) {
    Progress progress(common.quiet);
    const OpenedKvx opened = OpenKvx(options.input, common, progress);
    if (options.folder == "-") return UnpackToStdout(opened, options, common);
    const KvxContent& content = opened.content;
    const GridUnit& unit = opened.unit;
    if (!unit.recorded && !common.gridGiven && !common.quiet)
        Warn(options.input + ": the file does not record its grid step; assuming " + unit.text +
             " (give --grid as used for pack)");
    const std::vector<std::size_t> chosen = Selected(content, options);
    // With --mesh only the meshes are written.
    const std::uint64_t blocks = options.meshes.empty() ? opened.dataBlocks : 0;

    // The files' names are settled (and checked) before anything is written.
    const fs::path folder = options.folder;
    const char* ext = options.format == meshio::Format::Ply   ? ".ply"
                      : options.format == meshio::Format::Obj ? ".obj"
                                                              : ".stl";
    std::set<std::string> used;
    std::vector<std::string> meshFiles, mtlFiles;
    for (const std::size_t i : chosen) {
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
    if (!fs::is_directory(folder))
        throw CliError(kExitWrite, folder.string() + ": cannot create the folder (" +
                                       (ec ? ec.message() : "not a folder") + ")");
    for (const std::string& name : used)
        RefuseExisting(folder / name, common.force);

    // Files are staged (each closed once written) and committed together, so a failure leaves
    // none of them behind.
    std::vector<std::unique_ptr<OutputFile>> staged;
    progress.SetSteps(chosen.size() + blocks + 1);
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
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        progress.Step(blocks + k, "writing " + meshFiles[k]);
        const KvxMesh& source = content.meshes[chosen[k]];
        const meshio::FloatMesh mesh = ForWriting(source, unit, options, !mtlFiles[k].empty(),
                                                  (folder / meshFiles[k]).string());
        const meshio::WriteOptions write = WriteChoices(source, options);
        auto& file =
            staged.emplace_back(std::make_unique<OutputFile>(folder / meshFiles[k], common.force));
        OutputFile& meshFile = *file;
        try {
            if (options.format == meshio::Format::Obj) {
                std::unique_ptr<OutputFile> mtl;
                if (!mtlFiles[k].empty())
                    mtl = std::make_unique<OutputFile>(folder / mtlFiles[k], common.force);
                meshio::WriteObj(meshFile.stream(), mtl ? &mtl->stream() : nullptr, mtlFiles[k],
                                 mesh, write);
                if (mtl) {
                    mtl->Close();
                    staged.push_back(std::move(mtl));
                }
            } else {
                meshio::WriteMesh(meshFile.stream(), mesh, options.format, write);
            }
        } catch (const meshio::MeshError& e) {
            throw CliError(kExitWrite, (folder / meshFiles[k]).string() + ": " + e.what());
        }
        meshFile.Close();
    }
    progress.Step(chosen.size() + blocks, "finishing");
    // All or nothing: a failure leaves the folder as it was, replaced files included.
    CommitAll(staged, common.force);
    progress.Clear();
    if (!common.quiet) {
        for (std::size_t k = 0; k < meshFiles.size(); ++k)
            std::printf(
                "%s: %s\n", (folder / meshFiles[k]).string().c_str(),
                Plural(content.meshes[chosen[k]].mesh.NumberOfTriangles(), "triangle", "triangles")
                    .c_str());
        for (std::size_t i = 0; i < dataFiles.size(); ++i)
            std::printf("%s: %s of data\n", (folder / dataFiles[i]).string().c_str(),
                        Plural(dataBytes[i], "byte", "bytes").c_str());
    }
    return kExitOk;
}

}  // namespace kvx::cli
