#include "Support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Progress.h"
#include "TempFiles.h"
#include "Text.h"

namespace kvx::cli {

namespace fs = std::filesystem;

void Warn(const std::string& text) {
    std::fprintf(stderr, "kvx: warning: %s\n", text.c_str());
}

void ReportError(ExitCode code, const std::string& message, bool json) {
    std::fprintf(stderr, "kvx: %s\n", message.c_str());
    if (json)
        std::printf("{\"error\": {\"code\": %d, \"message\": %s}}\n", static_cast<int>(code),
                    JsonString(message).c_str());
}

std::string DisplayName(const std::string& file) {
    return file == "-" ? std::string("standard input") : file;
}

namespace {

// Standard input copied to a private file (exclusive, mode 0600, in TMPDIR), so that the mesh
// readers see a regular file; removed when this goes.
class StdinCopy {
public:
    StdinCopy() {
        if (::isatty(STDIN_FILENO) == 1)
            throw CliError(kExitInput, "standard input is a terminal; pipe a mesh file into it");
        path_ = NewTempFile("stdin");
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) Fail(errno);
        char buffer[1 << 16];
        for (;;) {
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got == 0) break;
            if (got < 0) {
                if (errno == EINTR) continue;
                const int error = errno;
                ::close(fd);
                throw CliError(kExitInput, std::string("standard input: cannot read (") +
                                               std::strerror(error) + ")");
            }
            for (ssize_t done = 0; done < got;) {
                const ssize_t put =
                    ::write(fd, buffer + done, static_cast<std::size_t>(got - done));
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) {
                    const int error = put < 0 ? errno : ENOSPC;
                    ::close(fd);
                    Fail(error);
                }
                done += put;
            }
        }
        if (::close(fd) != 0) Fail(errno);
    }
    ~StdinCopy() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    StdinCopy(const StdinCopy&) = delete;
    StdinCopy& operator=(const StdinCopy&) = delete;
    const std::string& path() const { return path_; }

private:
    [[noreturn]] void Fail(int error) {
        if (!path_.empty()) ::unlink(path_.c_str());
        path_.clear();
        throw CliError(kExitWrite, "cannot write a temporary file in " + TempFolderDescription() +
                                       ": " + std::strerror(error));
    }
    std::string path_;
};

// The triangles [first, first + count) of `in` with the points they use.
meshio::FloatMesh Part(const meshio::FloatMesh& in, std::size_t first, std::size_t count,
                       std::vector<std::uint32_t>& where) {
    meshio::FloatMesh out;
    constexpr std::uint32_t kUnused = 0xFFFFFFFFu;
    where.resize(in.points.size() / 3, kUnused);
    std::vector<std::uint32_t> used;
    for (std::size_t i = 3 * first; i < 3 * (first + count); ++i) {
        const std::uint32_t p = in.indices[i];
        if (where[p] == kUnused) {
            where[p] = static_cast<std::uint32_t>(used.size());
            used.push_back(p);
            out.points.insert(out.points.end(), in.points.begin() + 3 * p,
                              in.points.begin() + 3 * p + 3);
        }
        out.indices.push_back(where[p]);
    }
    for (const std::uint32_t p : used)
        where[p] = kUnused;
    if (!in.colors.empty())
        out.colors.assign(in.colors.begin() + static_cast<std::ptrdiff_t>(first),
                          in.colors.begin() + static_cast<std::ptrdiff_t>(first + count));
    return out;
}

void WarnAboutGrid(const std::string& file, const GridReport& report, const GridUnit& unit) {
    if (report.mergedPoints == 0) return;
    std::string text = file + ": on the " + unit.text + " grid, " +
                       Plural(report.mergedPoints, "point", "points") + " merged with another";
    if (report.collapsedTriangles > 0)
        text += " and " + Count(report.collapsedTriangles) + " of " + Count(report.triangles) +
                " triangles became degenerate";
    text += "; a finer --grid (for example " + LengthText(unit.stepMm / 10) + ") keeps them apart";
    Warn(text);
}

}  // namespace

std::vector<GridMesh> ReadMeshFile(const std::string& file, const Common& common,
                                   const ReadChoices& choices) {
    const std::string shown = DisplayName(file);
    const std::optional<meshio::Format> format =
        choices.format ? choices.format : meshio::FormatFromPath(file);
    if (!format)
        throw CliError(kExitInput, file == "-"
                                       ? std::string("standard input: give its format with "
                                                     "--input-format stl|ply|obj|off")
                                       : file +
                                             ": unknown mesh format (the name must end in .stl, "
                                             ".ply, .obj or .off, or give --input-format)");
    std::optional<StdinCopy> copy;
    std::string path = file;
    if (file == "-") {
        copy.emplace();
        path = copy->path();
    } else {
        std::error_code ec;
        const fs::file_status status = fs::status(file, ec);
        if (status.type() == fs::file_type::not_found)
            throw CliError(kExitInput, file + ": no such file");
        if (status.type() == fs::file_type::directory)
            throw CliError(kExitInput, file + ": is a folder, not a mesh file");
    }
    meshio::ReadOptions options;
    if (choices.progress != nullptr) {
        Progress& progress = *choices.progress;
        const std::string what = "reading " + shown;
        options.progress = [&progress, what](std::uint64_t done, std::uint64_t total) {
            progress.Part(total == 0 ? 1.0 : double(done) / double(total), what);
        };
    }
    meshio::FloatMesh mesh;
    try {
        mesh = meshio::ReadMesh(path, *format, options);
    } catch (const meshio::MeshError& e) {
        throw CliError(kExitInput, shown + ": " + e.what());
    }
    for (const std::string& warning : mesh.warnings)
        Warn(shown + ": " + warning);
    if (!choices.colors) mesh.colors.clear();

    const std::string stem = file == "-" ? std::string("stdin") : fs::path(file).stem().string();
    std::vector<GridMesh> out;
    if (!choices.split || mesh.groups.size() < 2) {
        if (choices.split && !common.quiet)
            Warn(shown + ": no named parts to split; packed as one mesh");
        GridMesh& one = out.emplace_back();
        one.name = stem;
        WarnAboutGrid(shown, ToGrid(mesh, common.unit, shown, one.mesh), common.unit);
        return out;
    }
    std::vector<std::uint32_t> where;
    GridReport total;
    for (std::size_t g = 0; g < mesh.groups.size(); ++g) {
        const meshio::MeshGroup& group = mesh.groups[g];
        GridMesh& part = out.emplace_back();
        part.name = group.name.empty() ? stem + "-" + std::to_string(g + 1) : group.name;
        const GridReport report =
            ToGrid(Part(mesh, group.firstTriangle, group.triangleCount, where), common.unit, shown,
                   part.mesh);
        total.mergedPoints += report.mergedPoints;
        total.collapsedTriangles += report.collapsedTriangles;
        total.triangles += report.triangles;
    }
    WarnAboutGrid(shown, total, common.unit);
    return out;
}

OpenedKvx OpenKvx(const std::string& input, const Common& common, Progress& progress) {
    std::error_code ec;
    if (fs::is_directory(input, ec))
        throw CliError(kExitInput, input + ": is a folder, not a KVX file");
    OpenedKvx out;
    out.content = ReadKvx(input, ReadPassword(common.password, false), progress);
    progress.Clear();
    out.unit = common.unit;
    out.dataBlocks = out.content.DataBlockCount();
    if (out.dataBlocks == 0) return out;
    const std::optional<GridUnit> recorded =
        ReadUnitBlock(out.content.DataBlock(out.dataBlocks - 1));
    if (!recorded) return out;
    --out.dataBlocks;
    if (!common.gridGiven) {
        out.unit.stepMm = recorded->stepMm;
        out.unit.text = recorded->text;
        out.unit.recorded = true;
    } else if (std::fabs(common.unit.stepMm - recorded->stepMm) > 1e-9 * recorded->stepMm) {
        Warn(input + ": the file records a grid step of " + recorded->text + "; using --grid " +
             common.unit.text + " as asked scales every size by " +
             Format("%.6g", common.unit.stepMm / recorded->stepMm));
    } else {
        out.unit.recorded = true;
    }
    if (!common.fileUnitGiven) {
        out.unit.fileUnitMm = recorded->fileUnitMm;
        out.unit.fileUnit = recorded->fileUnit;
    }
    return out;
}

std::size_t ColoredTriangles(const MStlBase& mesh) {
    return static_cast<std::size_t>(
        std::count_if(mesh.Triangles().begin(), mesh.Triangles().end(),
                      [](const MStlTriangle& t) { return t.HasColor(); }));
}

}  // namespace kvx::cli
