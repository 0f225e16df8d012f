#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Commands.h"
#include "DataBlock.h"
#include "Errors.h"
#include "OutputFile.h"
#include "Progress.h"
#include "Support.h"
#include "TempFiles.h"
#include "Text.h"
#include "Utf8.h"
#include "kvx.h"

namespace kvx::cli {

namespace fs = std::filesystem;

namespace {

// The stub installed beside this program.
std::string InstalledStub() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("kvx-sfx-stub") : (self.parent_path() / "kvx-sfx-stub").string();
}

// The KVX file a pack writes: the name as given when it ends in .kvx, else with .kvx added
// ("scan.v2" gives "scan.v2.kvx"); for a package, a name ending in .exe names the package.
fs::path KvxTarget(const std::string& output, bool package) {
    const auto endsWith = [&](const std::string& ext) {
        if (output.size() <= ext.size()) return false;
        std::string tail = output.substr(output.size() - ext.size());
        std::transform(tail.begin(), tail.end(), tail.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return tail == ext;
    };
    if (endsWith(".kvx")) return output;
    if (package && endsWith(".exe")) return output.substr(0, output.size() - 4) + ".kvx";
    return output + ".kvx";
}

// Copies the written file to standard output.
void SendToStdout(const fs::path& file) {
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr)
        throw CliError(kExitWrite, "standard output: cannot read back the written file");
    char buffer[1 << 16];
    bool ok = true;
    for (std::size_t got; ok && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
        ok = std::fwrite(buffer, 1, got, stdout) == got;
    std::fclose(in);
    if (!ok || std::fflush(stdout) != 0)
        throw CliError(kExitWrite,
                       std::string("standard output: cannot write (") + std::strerror(errno) + ")");
}

}  // namespace

int Pack(const PackOptions& options, const Common& common) {
    if (options.names.size() > options.inputs.size())
        throw CliError(kExitUsage, "pack: more --name options (" +
                                       std::to_string(options.names.size()) + ") than meshes (" +
                                       std::to_string(options.inputs.size()) + ")");
    if (std::count(options.inputs.begin(), options.inputs.end(), "-") > 1)
        throw CliError(kExitUsage, "pack: standard input (-) can be read only once");
    const bool toStdout = options.output == "-";
    if (toStdout && ::isatty(STDOUT_FILENO) == 1)
        throw CliError(kExitUsage, "pack: standard output is a terminal; redirect it to a file");
    // The KVX name the library is given, and the file the user gets (the package for --sfx).
    const fs::path named = toStdout ? fs::path("standard-output.kvx")
                                    : KvxTarget(options.output, options.sfxStub.has_value());
    const fs::path output = options.sfxStub ? fs::path(named).replace_extension(".exe") : named;
    const std::string shown = toStdout ? std::string("standard output") : output.string();
    if (!toStdout) {
        RefuseExisting(output, common.force);
        // Missing folders are created, as unpack does.
        if (output.has_parent_path()) {
            std::error_code ec;
            fs::create_directories(output.parent_path(), ec);
            if (!fs::is_directory(output.parent_path()))
                throw CliError(kExitWrite, output.parent_path().string() +
                                               ": cannot create the folder (" +
                                               (ec ? ec.message() : "not a folder") + ")");
        }
    }
    // The library writes into a private folder (a staging folder beside the target, or the
    // tool's folder in TMPDIR for standard output); the tool then moves the file into place,
    // replacing nothing unless --force says so.
    const fs::path target =
        (toStdout ? TempFolder() : StagingFolder(output.parent_path())) / named.filename();
    const fs::path produced = options.sfxStub ? fs::path(target).replace_extension(".exe") : target;
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
    std::vector<GridMesh> meshes;
    std::uint64_t triangles = 0;
    ReadChoices choices;
    choices.format = options.inputFormat;
    choices.colors = options.colors;
    choices.split = options.split;
    choices.progress = &progress;
    for (std::size_t i = 0; i < options.inputs.size(); ++i) {
        progress.Step(i, "reading " + DisplayName(options.inputs[i]));
        std::vector<GridMesh> read = ReadMeshFile(options.inputs[i], common, choices);
        // --name names the mesh of its file (the first part, when a file is split).
        if (i < options.names.size()) read.front().name = options.names[i];
        for (GridMesh& m : read) {
            triangles += m.mesh.NumberOfTriangles();
            meshes.push_back(std::move(m));
        }
    }
    std::vector<std::vector<unsigned short>> blocks;
    for (const std::string& file : options.dataFiles)
        blocks.push_back(PackDataFile(file));
    // The lengths go last, as a block of the tool's own layout.
    blocks.push_back(UnitBlock(common.unit));
    const bool colored = std::any_of(meshes.begin(), meshes.end(), [](const GridMesh& m) {
        return m.mesh.HasColoredTriangles();
    });

    progress.Step(options.inputs.size(), "writing " + shown);
    MStlOperatorKVXExport exporter;
    exporter.SetFileName(Widen(target.string()));
    if (password) exporter.SetPassword(Widen(*password));
    exporter.ExportTriangleColor(colored);
    exporter.SetReproducible(options.reproducible);
    for (GridMesh& m : meshes)
        exporter.AddStl(&m.mesh, Widen(m.name));
    for (const auto& block : blocks)
        exporter.AddDataBlock(block);
    if (!stub.empty()) exporter.SetSelfExtractingPath(Widen(stub));
    errno = 0;
    if (!exporter.Operate()) {
        const int why = errno;
        progress.Clear();
        if (exporter.GetExportResults() == MStlOperatorKVXExport::ExportSelfExtractingFailed)
            throw CliError(kExitWrite, shown + ": cannot build the self-extracting package (stub " +
                                           stub + ")");
        if (exporter.GetExportResults() == MStlOperatorKVXExport::ExportMemoryBudgetExceeded)
            throw CliError(kExitWrite,
                           shown +
                               ": not written: the meshes compress so far that reading the file "
                               "back would need more memory than its size allows");
        throw CliError(kExitWrite,
                       shown + ": cannot write (" +
                           (why != 0 ? std::strerror(why)
                                     : "the file or a temporary file in " +
                                           TempFolderDescription() + " could not be written") +
                           ")");
    }
    progress.Clear();
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(produced, ec);
    if (toStdout) {
        SendToStdout(produced);
    } else {
        const HoldSignals hold;
        PlaceFile(produced, output, common.force);
    }
    if (!common.quiet) {
        // The summary goes to standard error when the file goes to standard output.
        std::FILE* out = toStdout ? stderr : stdout;
        std::fprintf(out, "%s: %s, %s, %s", shown.c_str(),
                     Plural(meshes.size(), "mesh", "meshes").c_str(),
                     Plural(triangles, "triangle", "triangles").c_str(),
                     Plural(size, "byte", "bytes").c_str());
        if (triangles > 0)
            std::fprintf(out, " (%.3f bytes/triangle)", double(size) / double(triangles));
        if (password) std::fprintf(out, ", password protected");
        if (common.unit.stepMm != 0.001) std::fprintf(out, ", grid %s", common.unit.text.c_str());
        if (common.unit.fileUnit != "mm")
            std::fprintf(out, ", file unit %s", common.unit.fileUnit.c_str());
        std::fprintf(out, "\n");
    }
    return kExitOk;
}

}  // namespace kvx::cli
