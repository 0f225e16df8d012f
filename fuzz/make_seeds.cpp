// Writes KVX files for the seed corpora of the targets that read whole files: what the exporter
// writes for meshes with and without colours, data blocks, a password, several meshes, both
// mesh payload formats, and a self-extracting package.
//
//   kvx_fuzz_seeds DIR [STUB]
//
// The package is built on STUB when given; otherwise on a stand-in of a few hundred bytes that
// has what readers look for in a stub (the ELF magic and the size marker) but runs nothing, so
// that the fuzzer's inputs stay small.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "maker/MStlBase.h"
#include "maker/MStlCompressor.h"
#include "maker/Text.h"
#include "operators/MStlOperatorKVX.h"

namespace {

// A small bumpy grid, optionally coloured in bands.
MStlBase Grid(int n, bool colored, int offset) {
    MStlBase mesh;
    for (int y = 0; y <= n; ++y)
        for (int x = 0; x <= n; ++x)
            mesh.AddPoint(offset + 100 * x, 100 * y, (x * 7 + y * 3) % 5);
    const auto at = [n](int x, int y) { return static_cast<std::uint32_t>(y * (n + 1) + x); };
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const std::uint16_t color =
                colored ? static_cast<std::uint16_t>(0x8000 | (y / 2) * 0x421) : 0;
            mesh.AddTriangle(at(x, y), at(x + 1, y), at(x + 1, y + 1))->color = color;
            mesh.AddTriangle(at(x, y), at(x + 1, y + 1), at(x, y + 1))->color = color;
        }
    return mesh;
}

bool Write(const std::string& path, std::vector<MStlBase*> meshes, bool colors,
           const std::wstring& password, std::vector<std::vector<unsigned short>> blocks,
           const std::string& stub = {}) {
    MStlOperatorKVXExport exporter;
    exporter.SetFileName(CharacterSetConversions::String<wchar_t>(path));
    exporter.ExportTriangleColor(colors);
    exporter.SetPassword(password);
    exporter.SetReproducible(true);
    if (!stub.empty())
        exporter.SetSelfExtractingPath(CharacterSetConversions::String<wchar_t>(stub));
    int i = 0;
    for (MStlBase* mesh : meshes)
        exporter.AddStl(mesh, L"mesh" + std::to_wstring(i++));
    for (const auto& block : blocks)
        exporter.AddDataBlock(block);
    if (exporter.Operate()) return true;
    std::fprintf(stderr, "kvx_fuzz_seeds: cannot write %s\n", path.c_str());
    return false;
}

// A stub for packages that are only read: the ELF magic, padding, and the marker with room for
// the size text that the exporter fills in.
bool WriteStandInStub(const std::string& path) {
    std::string bytes(
        "\x7f"
        "ELF",
        4);
    bytes.append(120, '\0');
    bytes += "Invalid KVX timecode";
    bytes.append(16, ' ');
    bytes.append(64, '\0');
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvx_fuzz_seeds DIR [STUB]\n");
        return 2;
    }
    const std::string dir = argv[1];
    MStlBase plain = Grid(3, false, 0), colored = Grid(4, true, 1000), tiny = Grid(1, true, -50);
    bool ok = true;
    for (const std::uint8_t version : {2, 1}) {
        MStlCompressor::SetDefaultFormatVersion(version);
        const std::string v = "-format" + std::to_string(version);
        ok &= Write(dir + "/plain" + v + ".kvx", {&plain}, false, L"", {});
        ok &= Write(dir + "/colours" + v + ".kvx", {&colored}, true, L"", {});
        ok &= Write(dir + "/password" + v + ".kvx", {&colored}, true, L"pw", {});
        ok &= Write(dir + "/several" + v + ".kvx", {&plain, &colored, &tiny}, true, L"",
                    {{1, 2, 3}, {}, {65535}});
    }
    MStlCompressor::SetDefaultFormatVersion(MStlCompressor::kAutomatic);
    ok &= Write(dir + "/blocks-no-colours.kvx", {&tiny, &plain}, false, L"", {{7, 7, 7, 7}});
    std::string stub = argc > 2 ? argv[2] : dir + "/stand-in-stub";
    if (argc <= 2) ok &= WriteStandInStub(stub);
    ok &= Write(dir + "/package.kvx", {&colored}, true, L"", {}, stub);
    if (argc <= 2) std::remove(stub.c_str());
    return ok ? 0 : 1;
}
