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

// The stub installed beside this program.
std::string InstalledStub() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("kvx-sfx-stub") : (self.parent_path() / "kvx-sfx-stub").string();
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

}  // namespace kvx::cli
