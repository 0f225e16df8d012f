#include "KvxFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Errors.h"
#include "Package.h"
#include "Progress.h"
#include "TempFiles.h"
#include "Utf8.h"
#include "kvx.h"

namespace kvx::cli {

namespace {

using Import = MStlOperatorKVXImport;

// The errno of a failed temporary write, when errno still holds one.
int TempErrno() {
    const int e = errno;
    return e == ENOSPC || e == EFBIG || e == EDQUOT || e == EACCES || e == EROFS || e == EIO ? e
                                                                                             : 0;
}

// `why` is the errno left by the failed read, 0 when it tells nothing.
[[noreturn]] void Fail(const std::filesystem::path& file, Import::EImportResults result,
                       bool passwordGiven, int why) {
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
        case Import::ImportMemoryBudgetExceeded:
            throw CliError(
                kExitCorrupt,
                name + ": corrupt KVX data (it claims more content than its size allows)");
        case Import::ImportTempFileFailed:
            // Not a verdict on the file: the copy it is read through could not be written.
            throw CliError(kExitWrite, name + ": not read: cannot write a temporary file in " +
                                           TempFolderDescription() +
                                           (why != 0 ? std::string(" (") + std::strerror(why) + ")"
                                                     : std::string(" (is it full?)")));
        default:
            throw CliError(kExitCorrupt, name + ": corrupt KVX data");
    }
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

KvxContent::KvxContent() = default;
KvxContent::~KvxContent() = default;
KvxContent::KvxContent(KvxContent&&) noexcept = default;
KvxContent& KvxContent::operator=(KvxContent&&) noexcept = default;

std::uint64_t KvxContent::DataBlockCount() const {
    return importer ? importer->GetNumberOfDataBlocks() : 0;
}

std::vector<unsigned short> KvxContent::DataBlock(std::uint64_t index) const {
    return importer ? importer->GetDataBlock(index) : std::vector<unsigned short>();
}

KvxContent ReadKvx(const std::filesystem::path& file, const std::optional<std::string>& password,
                   Progress& progress) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw CliError(kExitInput, file.string() + ": no such file");
    KvxContent out;
    out.fileSize = std::filesystem::file_size(file, ec);

    progress.Step(0, "reading " + file.filename().string());
    // A package's KVX file is read from a private copy, which goes once it has been read.
    std::filesystem::path source = file;
    struct RemoveCopy {
        std::filesystem::path path;
        ~RemoveCopy() {
            if (!path.empty()) ::unlink(path.c_str());
        }
    } copy;
    if (const std::optional<PackagedKvx> packaged = FindPackagedKvx(file)) {
        source = copy.path = ExtractPackagedKvx(file, *packaged);
        out.packageSize = out.fileSize;
        out.fileSize = packaged->bytes;
    }
    out.importer = std::make_unique<Import>();
    Import& importer = *out.importer;
    importer.SetFileName(Widen(source.string()));
    importer.SetColorsNeeded(true);
    // Only meshes written with triangle colours get them; the data blocks are never colours.
    importer.ImportTriangleColor(true);
    errno = 0;
    if (!importer.Operate()) {
        if (importer.GetImportResults() != Import::ImportWrongPassword || !password)
            Fail(file, importer.GetImportResults(), password.has_value(), TempErrno());
        out.passwordProtected = true;
        importer.SetPassword(Widen(*password));
        errno = 0;
        if (!importer.Operate()) Fail(file, importer.GetImportResults(), true, TempErrno());
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
    return out;
}

}  // namespace kvx::cli
