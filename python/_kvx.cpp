// The native part of the `kvx` Python module: the public operators and MStlBase, wrapped.
//
// Meshes read from a file stay in the MStlBase the importer filled; their arrays are numpy views
// of its buffers (points N x 3 int32, triangles M x 3 uint32 and colour codes M uint16, both
// strided over the triangle records), read-only, and they keep the mesh alive. The operators
// run with the interpreter lock released and under one process-wide lock, as only one operator
// may run at a time in a process. Failures come back as the operators' result codes; the
// Python layer (kvx/__init__.py) turns them into exceptions.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "operators/MStlOperatorKVX.h"

namespace py = pybind11;

namespace {

std::mutex& OperatorLock() {
    static std::mutex lock;
    return lock;
}

struct Mesh {
    std::unique_ptr<MStlBase> stl = std::make_unique<MStlBase>();
    py::object color = py::none();  // set by kvx.read from the file's scene
};

// A read-only view of `count` rows of `columns` items of T, `stride` bytes apart, kept alive by
// `owner`.
template <class T>
py::array View(const void* data, std::size_t count, std::size_t columns, std::size_t stride,
               py::handle owner) {
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(count)};
    std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(stride)};
    if (columns > 0) {
        shape.push_back(static_cast<py::ssize_t>(columns));
        strides.push_back(static_cast<py::ssize_t>(sizeof(T)));
    }
    // numpy wants a pointer even for an empty array.
    static const T none{};
    py::array out(py::dtype::of<T>(), shape, strides,
                  count > 0 ? static_cast<const T*>(data) : &none, owner);
    py::detail::array_proxy(out.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return out;
}

py::array Points(py::object self) {
    const MStlBase& stl = *self.cast<Mesh&>().stl;
    return View<std::int32_t>(stl.Points().data(), stl.NumberOfPoints(), 3, sizeof(MStlPoint),
                              self);
}

py::array Triangles(py::object self) {
    const MStlBase& stl = *self.cast<Mesh&>().stl;
    const auto triangles = stl.Triangles();
    return View<std::uint32_t>(triangles.empty() ? nullptr : triangles.data()->points,
                               triangles.size(), 3, sizeof(MStlTriangle), self);
}

py::object Colors(py::object self) {
    const MStlBase& stl = *self.cast<Mesh&>().stl;
    if (!stl.HasColoredTriangles()) return py::none();
    const auto triangles = stl.Triangles();
    return View<std::uint16_t>(&triangles.data()->color, triangles.size(), 0, sizeof(MStlTriangle),
                               self);
}

// A mesh from arrays (copied into the mesh): points N x 3 int32, triangles M x 3 uint32 and
// optional colour codes M uint16, all C-contiguous. Throws ValueError for an index that is no
// point or sizes that do not match.
Mesh FromArrays(
    const std::wstring& name,
    py::array_t<std::int32_t, py::array::c_style | py::array::forcecast> points,
    py::array_t<std::uint32_t, py::array::c_style | py::array::forcecast> triangles,
    std::optional<py::array_t<std::uint16_t, py::array::c_style | py::array::forcecast>> colors) {
    if (points.ndim() != 2 || points.shape(1) != 3)
        throw py::value_error("points must be an N x 3 array");
    if (triangles.ndim() != 2 || triangles.shape(1) != 3)
        throw py::value_error("triangles must be an M x 3 array");
    const auto count = static_cast<std::size_t>(triangles.shape(0));
    if (colors && (colors->ndim() != 1 || static_cast<std::size_t>(colors->shape(0)) != count))
        throw py::value_error("colors must hold one code per triangle");
    Mesh mesh;
    const auto* p = reinterpret_cast<const MStlPoint*>(points.data());
    mesh.stl->SetPoints(std::vector<MStlPoint>(p, p + points.shape(0)));
    const std::span<const std::uint32_t> indices(triangles.data(), 3 * count);
    std::span<const std::uint16_t> codes;
    if (colors) codes = {colors->data(), count};
    if (!mesh.stl->SetTriangles(indices, codes))
        throw py::value_error("a triangle names a point the mesh does not have");
    mesh.stl->SetName(name);
    return mesh;
}

using ColorTuple = std::tuple<int, int, int, int>;

// Reads a file: (result code, meshes, mesh colours, data blocks). Meshes are handed out only
// when the whole file read.
py::tuple Read(const std::wstring& path, const std::optional<std::wstring>& password, bool colors) {
    std::vector<std::unique_ptr<MStlBase>> meshes;
    std::vector<ColorTuple> meshColors;
    std::vector<std::vector<unsigned short>> blocks;
    int code = 0;
    {
        py::gil_scoped_release release;
        const std::lock_guard<std::mutex> guard(OperatorLock());
        MStlOperatorKVXImport importer;
        importer.SetFileName(path);
        if (password) importer.SetPassword(*password);
        importer.SetColorsNeeded(colors);
        importer.ImportTriangleColor(colors);
        bool ok = importer.Operate();
        for (unsigned long i = 0; ok && i < importer.GetNumberOfOutputStls(); ++i) {
            auto mesh = std::make_unique<MStlBase>();
            ok = importer.GetNextOutputStl(mesh.get());
            // The mesh payload carries triangle colours of its own; without colours asked for,
            // the caller gets none.
            if (!colors)
                for (auto t = mesh->BeginTriangle(); t != mesh->EndTriangle(); ++t)
                    t->color = 0;
            meshes.push_back(std::move(mesh));
        }
        code = static_cast<int>(importer.GetImportResults());
        if (ok) {
            for (unsigned long i = 0; i < importer.GetNumberOfOutputColors(); ++i) {
                const Orvex::Common::Color c = importer.GetOutputColorAt(i);
                meshColors.emplace_back(c.red, c.green, c.blue, c.kind);
            }
            for (std::uint64_t b = 0; b < importer.GetNumberOfDataBlocks(); ++b)
                blocks.push_back(importer.GetDataBlock(b));
        } else {
            meshes.clear();
            if (code == MStlOperatorKVXImport::ImportOk) code = MStlOperatorKVXImport::ImportFailed;
        }
    }
    py::list outMeshes, outBlocks;
    for (auto& stl : meshes) {
        Mesh mesh;
        mesh.stl = std::move(stl);
        outMeshes.append(py::cast(std::move(mesh)));
    }
    for (auto& block : blocks) {
        // The array owns the block's storage: no copy.
        auto* owned = new std::vector<unsigned short>(std::move(block));
        py::capsule owner(owned,
                          [](void* p) { delete static_cast<std::vector<unsigned short>*>(p); });
        outBlocks.append(py::array_t<std::uint16_t>(
            {static_cast<py::ssize_t>(owned->size())},
            {static_cast<py::ssize_t>(sizeof(std::uint16_t))}, owned->data(), owner));
    }
    return py::make_tuple(code, outMeshes, meshColors, outBlocks);
}

// Writes a file; returns the export's result code.
int Write(const std::wstring& path, const std::vector<Mesh*>& meshes,
          const std::optional<std::wstring>& password, bool colors,
          const std::vector<py::array_t<std::uint16_t, py::array::c_style | py::array::forcecast>>&
              dataBlocks,
          const std::optional<std::wstring>& sfx) {
    std::vector<std::vector<unsigned short>> blocks;
    for (const auto& block : dataBlocks) {
        if (block.ndim() != 1) throw py::value_error("a data block must be one-dimensional");
        blocks.emplace_back(block.data(), block.data() + block.shape(0));
    }
    for (const Mesh* mesh : meshes)
        if (mesh == nullptr) throw py::value_error("a mesh is missing");
    py::gil_scoped_release release;
    const std::lock_guard<std::mutex> guard(OperatorLock());
    MStlOperatorKVXExport exporter;
    exporter.SetFileName(path);
    if (password) exporter.SetPassword(*password);
    exporter.ExportTriangleColor(colors);
    if (sfx) exporter.SetSelfExtractingPath(*sfx);
    for (Mesh* mesh : meshes)
        exporter.AddStl(mesh->stl.get(), mesh->stl->GetName());
    for (const auto& block : blocks)
        exporter.AddDataBlock(block);
    return exporter.Operate() ? static_cast<int>(MStlOperatorKVXExport::ExportOk)
                              : static_cast<int>(exporter.GetExportResults());
}

}  // namespace

PYBIND11_MODULE(_kvx, m) {
    m.doc() = "Native part of the kvx module (use kvx, not this).";
    py::class_<Mesh>(m, "Mesh", R"(A triangle mesh.

Attributes: name; points (N x 3 int32); triangles (M x 3 uint32); colors (M uint16 codes, or None
when no triangle has a colour); color (the mesh colour from the file's scene, or None). The arrays
are read-only views of the mesh's buffers, and the mesh lives as long as any of them. Make one
with kvx.mesh(name, points, triangles, colors).)")
        .def_static("from_arrays", &FromArrays, py::arg("name"), py::arg("points"),
                    py::arg("triangles"), py::arg("colors") = py::none())
        .def_property(
            "name", [](const Mesh& mesh) { return mesh.stl->GetName(); },
            [](Mesh& mesh, const std::wstring& name) { mesh.stl->SetName(name); })
        .def_readwrite("color", &Mesh::color)
        .def_property_readonly("points", &Points)
        .def_property_readonly("triangles", &Triangles)
        .def_property_readonly("colors", &Colors)
        .def_property_readonly("point_count",
                               [](const Mesh& mesh) { return mesh.stl->NumberOfPoints(); })
        .def_property_readonly("triangle_count",
                               [](const Mesh& mesh) { return mesh.stl->NumberOfTriangles(); })
        .def("__repr__", [](const Mesh& mesh) {
            return "<kvx.Mesh '" + py::cast(mesh.stl->GetName()).cast<std::string>() + "', " +
                   std::to_string(mesh.stl->NumberOfPoints()) + " points, " +
                   std::to_string(mesh.stl->NumberOfTriangles()) + " triangles>";
        });
    m.def("read", &Read, py::arg("path"), py::arg("password"), py::arg("colors"));
    m.def("write", &Write, py::arg("path"), py::arg("meshes"), py::arg("password"),
          py::arg("colors"), py::arg("data_blocks"), py::arg("sfx"));
    m.attr("triangle_record_bytes") = sizeof(MStlTriangle);
}
