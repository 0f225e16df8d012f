#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <set>
#include <tuple>

#include "DataBlock.h"
#include "Errors.h"
#include "KvxFile.h"
#include "OutputFile.h"
#include "Progress.h"
#include "Utf8.h"
#include "kvx.h"

namespace kvx::cli {

namespace fs = std::filesystem;

namespace {

// 1234567 -> "1,234,567".
std::string Count(std::uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

std::string Format(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// Reads a mesh file onto the grid; colours are kept only when asked for.
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

// The stub installed beside this program.
std::string InstalledStub() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("kvx-sfx-stub") : (self.parent_path() / "kvx-sfx-stub").string();
}

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

std::string Hex(const Orvex::Common::Color& c) {
    return Format("#%02x%02x%02x", c.red, c.green, c.blue);
}

// A JSON string; bytes that are not UTF-8 (names from other programs) become U+FFFD.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : Narrow(Widen(text))) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += Format("\\u%04x", static_cast<unsigned>(c));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::size_t ColoredTriangles(const MStlBase& mesh) {
    return static_cast<std::size_t>(
        std::count_if(mesh.Triangles().begin(), mesh.Triangles().end(),
                      [](const MStlTriangle& t) { return t.HasColor(); }));
}

}  // namespace

int Pack(const PackOptions& options, const Common& common) {
    if (options.names.size() > options.inputs.size())
        throw CliError(kExitUsage, "more --name options than meshes");
    // The library names the file *.kvx, or *.exe for a package.
    fs::path target = options.output;
    target.replace_extension(".kvx");
    const fs::path written = options.sfxStub ? fs::path(target).replace_extension(".exe") : target;
    RefuseExisting(written, common.force);
    std::string stub;
    if (options.sfxStub) {
        stub = options.sfxStub->empty() ? InstalledStub() : *options.sfxStub;
        std::error_code ec;
        if (!fs::is_regular_file(stub, ec))
            throw CliError(kExitInput, stub + ": no such self-extracting stub");
    }
    const std::optional<std::string> password = ReadPassword(common.password, true);

    Progress progress(common.quiet);
    progress.SetSteps(options.inputs.size() + 1);
    std::vector<MStlBase> meshes(options.inputs.size());
    std::uint64_t triangles = 0;
    for (std::size_t i = 0; i < options.inputs.size(); ++i) {
        progress.Step(i, "reading " + options.inputs[i]);
        ReadInput(options.inputs[i], common, options.colors, meshes[i]);
        triangles += meshes[i].NumberOfTriangles();
    }
    std::vector<std::vector<unsigned short>> blocks;
    for (const std::string& file : options.dataFiles)
        blocks.push_back(PackDataFile(file));

    progress.Step(options.inputs.size(), "writing " + written.string());
    MStlOperatorKVXExport exporter;
    exporter.SetFileName(Widen(target.string()));
    if (password) exporter.SetPassword(Widen(*password));
    exporter.ExportTriangleColor(options.colors);
    for (std::size_t i = 0; i < meshes.size(); ++i) {
        const std::string name = i < options.names.size()
                                     ? options.names[i]
                                     : fs::path(options.inputs[i]).stem().string();
        exporter.AddStl(&meshes[i], Widen(name));
    }
    for (const auto& block : blocks)
        exporter.AddDataBlock(block);
    if (!stub.empty()) exporter.SetSelfExtractingPath(Widen(stub));
    if (!exporter.Operate()) {
        progress.Clear();
        if (exporter.GetExportResults() == MStlOperatorKVXExport::ExportSelfExtractingFailed)
            throw CliError(kExitWrite, written.string() +
                                           ": cannot build the self-extracting package (stub " +
                                           stub + ")");
        if (exporter.GetExportResults() == MStlOperatorKVXExport::ExportMemoryBudgetExceeded)
            throw CliError(kExitWrite,
                           written.string() +
                               ": not written: the meshes compress so far that reading the file "
                               "back would need more memory than its size allows");
        throw CliError(kExitWrite, written.string() + ": cannot write");
    }
    progress.Clear();
    if (!common.quiet) {
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(written, ec);
        std::printf("%s: %zu mesh%s, %s triangles, %s bytes", written.string().c_str(),
                    meshes.size(), meshes.size() == 1 ? "" : "es", Count(triangles).c_str(),
                    Count(size).c_str());
        if (triangles > 0) std::printf(" (%.3f bytes/triangle)", double(size) / double(triangles));
        std::printf("%s\n", password ? ", password protected" : "");
    }
    return kExitOk;
}

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

int Info(const std::string& input, bool json, const Common& common) {
    Progress progress(common.quiet || json);
    const KvxContent content = OpenKvx(input, common, progress);
    std::uint64_t triangles = 0;
    for (const KvxMesh& m : content.meshes)
        triangles += m.mesh.NumberOfTriangles();
    const double perTriangle = triangles > 0 ? double(content.fileSize) / double(triangles) : 0.0;
    const double mm = common.unit.size;
    const std::uint64_t blocks = content.DataBlockCount();
    // Each block is taken from the file for its name and size, and dropped.
    auto describe = [&](std::uint64_t i) { return ReadDataFileLayout(content.DataBlock(i)); };
    if (json) {
        std::printf(
            "{\"file\": %s, \"bytes\": %ju, \"password_protected\": %s, "
            "\"unit_mm\": %.17g, \"triangles\": %" PRIu64
            ", \"bytes_per_triangle\": %.6f,"
            "\n \"meshes\": [",
            JsonString(input).c_str(), content.fileSize,
            content.passwordProtected ? "true" : "false", mm, triangles, perTriangle);
        for (std::size_t i = 0; i < content.meshes.size(); ++i) {
            const MStlBase& m = content.meshes[i].mesh;
            std::printf(
                "%s\n  {\"name\": %s, \"points\": %zu, \"triangles\": %zu, "
                "\"colored_triangles\": %zu, \"color\": %s,\n   \"box_grid\": [[%d, %d, "
                "%d], [%d, %d, %d]], \"box_mm\": [[%.6f, %.6f, %.6f], [%.6f, %.6f, %.6f]]}",
                i ? "," : "", JsonString(content.meshes[i].name).c_str(), m.NumberOfPoints(),
                m.NumberOfTriangles(), ColoredTriangles(m),
                content.meshes[i].color ? JsonString(Hex(*content.meshes[i].color)).c_str()
                                        : "null",
                m.GetXMin(), m.GetYMin(), m.GetZMin(), m.GetXMax(), m.GetYMax(), m.GetZMax(),
                m.GetXMin() * mm, m.GetYMin() * mm, m.GetZMin() * mm, m.GetXMax() * mm,
                m.GetYMax() * mm, m.GetZMax() * mm);
        }
        std::printf("],\n \"data_blocks\": [");
        for (std::uint64_t i = 0; i < blocks; ++i) {
            const DataFileLayout data = describe(i);
            std::printf("%s\n  {\"name\": %s, \"bytes\": %" PRIu64 "}", i ? "," : "",
                        data.name.empty() ? "null" : JsonString(data.name).c_str(), data.size);
        }
        std::printf("]}\n");
        return kExitOk;
    }
    std::printf("%s: %s bytes, %s\n", input.c_str(), Count(content.fileSize).c_str(),
                content.passwordProtected ? "password protected" : "no password");
    std::printf("%zu mesh%s, %s triangles, %.3f bytes/triangle (grid unit %s)\n",
                content.meshes.size(), content.meshes.size() == 1 ? "" : "es",
                Count(triangles).c_str(), perTriangle, common.unit.text.c_str());
    for (std::size_t i = 0; i < content.meshes.size(); ++i) {
        const MStlBase& m = content.meshes[i].mesh;
        const std::size_t colored = ColoredTriangles(m);
        std::printf("  %zu. \"%s\": %s points, %s triangles, %s\n", i + 1,
                    content.meshes[i].name.c_str(), Count(m.NumberOfPoints()).c_str(),
                    Count(m.NumberOfTriangles()).c_str(),
                    colored == 0 ? "no triangle colours"
                                 : (Count(colored) + " coloured triangles").c_str());
        if (content.meshes[i].color)
            std::printf("     mesh colour %s\n", Hex(*content.meshes[i].color).c_str());
        if (m.NumberOfPoints() > 0)
            std::printf("     box (mm) %.3f %.3f %.3f .. %.3f %.3f %.3f\n", m.GetXMin() * mm,
                        m.GetYMin() * mm, m.GetZMin() * mm, m.GetXMax() * mm, m.GetYMax() * mm,
                        m.GetZMax() * mm);
    }
    std::printf("%s data block%s\n", Count(blocks).c_str(), blocks == 1 ? "" : "s");
    for (std::uint64_t i = 0; i < blocks; ++i) {
        const DataFileLayout data = describe(i);
        std::printf("  %" PRIu64 ". %s: %s bytes\n", i + 1,
                    data.name.empty() ? "(unnamed)" : data.name.c_str(), Count(data.size).c_str());
    }
    return kExitOk;
}

int Verify(const std::string& input, const Common& common) {
    Progress progress(common.quiet);
    const KvxContent content = OpenKvx(input, common, progress);
    std::uint64_t triangles = 0;
    for (const KvxMesh& m : content.meshes)
        triangles += m.mesh.NumberOfTriangles();
    // The blocks were read and checked with the file; none is copied out to be counted.
    const std::uint64_t blocks = content.DataBlockCount();
    if (!common.quiet)
        std::printf("%s: ok (%zu mesh%s, %s triangles, %s data block%s)\n", input.c_str(),
                    content.meshes.size(), content.meshes.size() == 1 ? "" : "es",
                    Count(triangles).c_str(), Count(blocks).c_str(), blocks == 1 ? "" : "s");
    return kExitOk;
}

int Compare(const std::string& first, const std::string& second, bool colors,
            const Common& common) {
    // A triangle as grid coordinates starting at its smallest point (orientation kept), with
    // its colour when colours count.
    using Key = std::tuple<std::array<std::int32_t, 9>, std::uint16_t>;
    auto keys = [&](const std::string& file) {
        MStlBase mesh;
        ReadInput(file, common, colors, mesh);
        std::vector<Key> out;
        out.reserve(mesh.NumberOfTriangles());
        for (const MStlTriangle& t : mesh.Triangles()) {
            std::array<MStlPoint, 3> p = {mesh.GetPoint(t.points[0]), mesh.GetPoint(t.points[1]),
                                          mesh.GetPoint(t.points[2])};
            std::rotate(p.begin(), std::min_element(p.begin(), p.end()), p.end());
            out.emplace_back(std::array<std::int32_t, 9>{p[0].x, p[0].y, p[0].z, p[1].x, p[1].y,
                                                         p[1].z, p[2].x, p[2].y, p[2].z},
                             colors ? t.color : 0);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    const std::vector<Key> a = keys(first), b = keys(second);
    std::vector<Key> onlyA, onlyB;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(onlyA));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyB));
    if (onlyA.empty() && onlyB.empty()) {
        if (!common.quiet)
            std::printf("same: %s triangles on the %s grid%s\n", Count(a.size()).c_str(),
                        common.unit.text.c_str(), colors ? ", colours included" : "");
        return kExitOk;
    }
    std::printf("different: %s triangles only in %s, %s only in %s\n", Count(onlyA.size()).c_str(),
                first.c_str(), Count(onlyB.size()).c_str(), second.c_str());
    return kExitDifferent;
}

}  // namespace kvx::cli
