#include "KvxFile.h"

#include <algorithm>

#include "Errors.h"
#include "Progress.h"
#include "Utf8.h"
#include "kvx.h"

namespace kvx::cli {

namespace {

using Import = MStlOperatorKVXImport;

[[noreturn]] void Fail(const std::filesystem::path& file, Import::EImportResults result,
                       bool passwordGiven) {
    const std::string name = file.string();
    switch (result) {
        case Import::ImportBadMagic:
            throw CliError(kExitNotKvx, name + ": not a KVX file");
        case Import::ImportWrongPassword:
            if (!passwordGiven)
                throw CliError(kExitPassword, name +
                                                  ": password protected; give --password, "
                                                  "--password-file or --password-env");
            throw CliError(kExitPassword, name + ": wrong password");
        case Import::ImportCannotOpen:
            throw CliError(kExitInput, name + ": cannot open");
        case Import::ImportTempFileFailed:
            throw CliError(kExitFailure,
                           name + ": cannot create a temporary file (check TMPDIR and its space)");
        default:
            throw CliError(kExitCorrupt, name + ": corrupt KVX data");
    }
}

// Colour codes: 0 (no colour) or a code with the valid bit.
bool LooksLikeColors(const std::vector<unsigned short>& block, std::size_t triangles) {
    return block.size() == triangles &&
           std::all_of(block.begin(), block.end(),
                       [](unsigned short c) { return c == 0 || (c & 0x8000) != 0; });
}

// Loads mesh `index`; the library reports a mesh that does not decode through its log.
void Load(Import& importer, const std::filesystem::path& file, unsigned long index,
          MStlBase& mesh) {
    std::wstring problem;
    // The default sink comes back on every path, exceptions included.
    struct Restore {
        ~Restore() { SetLogSink({}); }
    } restore;
    SetLogSink([&](const LogMessage& m) {
        if (problem.empty()) problem = m.GetText();
    });
    const bool loaded = importer.GetOutputStlAt(&mesh, index);
    if (!loaded || !problem.empty())
        throw CliError(kExitCorrupt, file.string() + ": corrupt KVX data (mesh " +
                                         std::to_string(index + 1) +
                                         (problem.empty() ? "" : ": " + Narrow(problem)) + ")");
}

}  // namespace

KvxContent ReadKvx(const std::filesystem::path& file, const std::optional<std::string>& password,
                   Progress& progress) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw CliError(kExitInput, file.string() + ": no such file");
    KvxContent out;
    out.fileSize = std::filesystem::file_size(file, ec);

    progress.Step(0, "reading " + file.filename().string());
    Import importer;
    importer.SetFileName(Widen(file.string()));
    importer.SetColorsNeeded(true);
    importer.ImportTriangleColor(false);
    if (!importer.Operate()) {
        if (importer.GetImportResults() != Import::ImportWrongPassword || !password)
            Fail(file, importer.GetImportResults(), password.has_value());
        out.passwordProtected = true;
        importer.SetPassword(Widen(*password));
        if (!importer.Operate()) Fail(file, importer.GetImportResults(), true);
    }

    const unsigned long count = importer.GetNumberOfOutputStls();
    progress.SetSteps(count + 1);
    out.meshes.resize(count);
    for (unsigned long i = 0; i < count; ++i) {
        progress.Step(i + 1, "decoding mesh " + std::to_string(i + 1));
        out.meshes[i].name = Narrow(importer.GetStlNameAt(i));
        Load(importer, file, i, out.meshes[i].mesh);
    }
    if (importer.GetNumberOfOutputColors() == count)
        for (unsigned long i = 0; i < count; ++i)
            out.meshes[i].color = importer.GetOutputColorAt(i);

    // Without the triangle-colour switch every array is listed; the leading ones are colour
    // arrays when there is one per mesh, each a colour code per triangle.
    std::vector<std::vector<unsigned short>> arrays(importer.GetNumberOfDataBlocks());
    for (std::size_t i = 0; i < arrays.size(); ++i)
        arrays[i] = importer.GetDataBlock(i);
    out.colorArrays = count > 0 && arrays.size() >= count;
    for (unsigned long i = 0; i < count && out.colorArrays; ++i)
        out.colorArrays = LooksLikeColors(arrays[i], out.meshes[i].mesh.NumberOfTriangles());
    if (out.colorArrays) {
        // Meshes whose payload has no colours (older layouts) take them from their array.
        importer.ImportTriangleColor(true);
        for (unsigned long i = 0; i < count; ++i) {
            const bool arrayHasColors = std::any_of(arrays[i].begin(), arrays[i].end(),
                                                    [](unsigned short c) { return c != 0; });
            if (arrayHasColors && !out.meshes[i].mesh.HasColoredTriangles())
                Load(importer, file, i, out.meshes[i].mesh);
        }
        arrays.erase(arrays.begin(), arrays.begin() + count);
    }
    out.dataBlocks = std::move(arrays);
    return out;
}

}  // namespace kvx::cli
