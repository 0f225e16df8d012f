// Fuzz target: the public import end to end. The input is written to a file and imported with
// every combination of the colour options (and a password when the first byte is odd); every
// mesh, colour and data block is taken out. A reported success must hold sound meshes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "maker/Logging.h"
#include "maker/MStlBase.h"
#include "maker/Text.h"
#include "operators/MStlOperatorKVX.h"

namespace {

void CheckSound(const MStlBase& mesh) {
    for (const MStlTriangle& t : mesh.Triangles())
        for (const std::uint32_t p : t.points)
            if (p >= mesh.NumberOfPoints()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        SetLogSink([](const LogMessage&) {});  // failures are expected; keep the output quiet
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/kvx-fuzz-import-" +
               std::to_string(::getpid()) + ".kvx";
    }();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    const std::wstring name = CharacterSetConversions::String<wchar_t>(path);
    for (int options = 0; options < 4; ++options) {
        MStlOperatorKVXImport importer;
        importer.SetFileName(name);
        if (size > 0 && (data[0] & 1)) importer.SetPassword(L"pw");
        importer.SetColorsNeeded(options & 1);
        importer.ImportTriangleColor(options & 2);
        const bool ok = importer.Operate();
        if (ok != (importer.GetImportResults() == MStlOperatorKVXImport::ImportOk)) std::abort();
        if (!ok) {
            if (importer.GetNumberOfOutputStls() != 0) std::abort();
            continue;
        }
        const unsigned long meshes = importer.GetNumberOfOutputStls();
        MStlBase mesh;
        for (unsigned long i = 0; i < meshes; ++i) {
            (void)importer.GetStlNameAt(i);
            if (importer.GetNextOutputStl(&mesh)) CheckSound(mesh);
        }
        if (importer.GetNextOutputStl(&mesh)) std::abort();  // past the last one
        for (unsigned long i = 0; i < importer.GetNumberOfOutputColors(); ++i)
            (void)importer.GetOutputColorAt(i);
        for (std::uint64_t b = 0; b < importer.GetNumberOfDataBlocks(); ++b)
            (void)importer.GetDataBlock(b);
        // Taken again, by index.
        if (meshes > 0 && importer.GetOutputStlAt(&mesh, meshes - 1)) CheckSound(mesh);
    }
    ::unlink(path.c_str());
    return 0;
}
