// Exports a mesh with the installed library and imports it again.
#include <kvx/kvx.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::wstring file =
        std::wstring(argv[1], argv[1] + std::char_traits<char>::length(argv[1]));
    MStlBase mesh;
    const auto a = mesh.AddPoint(0, 0, 0), b = mesh.AddPoint(1000, 0, 0),
               c = mesh.AddPoint(0, 1000, 0);
    mesh.AddTriangle(a, b, c)->SetColor(MStlColor{255, 128, 0, true});

    MStlOperatorKVXExport out;
    out.SetFileName(file);
    out.AddStl(&mesh, L"triangle");
    out.ExportTriangleColor(true);
    if (!out.Operate()) return 1;

    MStlOperatorKVXImport in;
    in.SetFileName(file);
    in.ImportTriangleColor(true);
    MStlBase back;
    if (!in.Operate() || !in.GetNextOutputStl(&back)) return 1;
    std::printf("kvx %s: %zu triangle, named %ls\n", kvx::Version(), back.NumberOfTriangles(),
                back.GetName().c_str());
    return back.NumberOfTriangles() == 1 && back.GetName() == L"triangle" &&
                   back.HasColoredTriangles()
               ? 0
               : 1;
}
