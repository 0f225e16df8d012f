// OBJ writing (with a material library for facet colours), and reading OBJ via assimp.
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <assimp/Importer.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>

#include "Detail.h"

namespace kvx::meshio {
namespace {

// Our writer's materials "kvx_RRGGBB" (8-bit hex); only these give colours on reading (from the
// name, not the .mtl file's Kd), so that the default materials of other OBJ files do not turn
// into facet colours. Faces without a colour go under "kvx_none": assimp gives faces before the
// first "usemtl" a wrong material.
constexpr std::string_view kMaterialPrefix = "kvx_";
constexpr std::string_view kNoColorMaterial = "kvx_none";

std::string MaterialName(std::uint16_t color) {
    if (!detail::HasColor(color)) return std::string(kNoColorMaterial);
    static constexpr char hex[] = "0123456789abcdef";
    std::string name(kMaterialPrefix);
    for (std::uint8_t channel : detail::Rgb8FromColor(color)) {
        name += hex[channel >> 4];
        name += hex[channel & 15];
    }
    return name;
}

bool IsColorMaterial(std::string_view name) {
    return name.size() == kMaterialPrefix.size() + 6 && name.starts_with(kMaterialPrefix) &&
           name.find_first_not_of("0123456789abcdefABCDEF", kMaterialPrefix.size()) ==
               std::string_view::npos;
}

// The facet colour that the material of an assimp mesh gives; 0 when it gives none. The colour
// is read from the material's name, which our writer derives from it, so it survives a missing
// or edited .mtl file.
std::uint16_t MaterialColor(const aiScene& scene, const aiMesh& mesh) {
    if (mesh.mMaterialIndex >= scene.mNumMaterials) return 0;
    const aiString material = scene.mMaterials[mesh.mMaterialIndex]->GetName();
    const std::string_view name = material.C_Str();
    if (!IsColorMaterial(name)) return 0;
    const auto channel = [&](std::size_t at) {
        return static_cast<std::uint8_t>(
            std::stoul(std::string(name.substr(kMaterialPrefix.size() + at, 2)), nullptr, 16));
    };
    return detail::ColorFromRgb8(channel(0), channel(2), channel(4));
}

}  // namespace

namespace detail {

FloatMesh ReadWithAssimp(const std::filesystem::path& file, const char* format) {
    const std::string prefix = std::string(format) + ": ";
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec) Fail(prefix + "cannot open the file: " + ec.message());
    if (!std::filesystem::is_regular_file(status)) Fail(prefix + "not a regular file");

    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(
        file.string(), aiProcess_Triangulate | aiProcess_SortByPType |
                           aiProcess_PreTransformVertices | aiProcess_ValidateDataStructure);
    if (!scene) {
        std::string why = importer.GetErrorString();
        std::replace_if(
            why.begin(), why.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        Fail(prefix + why);
    }
    FloatMesh out;
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        const aiMesh& mesh = *scene->mMeshes[m];
        if (!(mesh.mPrimitiveTypes & aiPrimitiveType_TRIANGLE)) continue;
        const std::size_t base = out.points.size() / 3;
        if (base + mesh.mNumVertices > std::numeric_limits<std::uint32_t>::max())
            Fail(prefix + "more than 2^32 - 1 points");
        for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
            const aiVector3D& p = mesh.mVertices[v];
            out.points.insert(out.points.end(), {p.x, p.y, p.z});
        }
        const std::uint16_t color = MaterialColor(*scene, mesh);
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const aiFace& face = mesh.mFaces[f];
            if (face.mNumIndices != 3) continue;
            for (int k = 0; k < 3; ++k) {
                if (face.mIndices[k] >= mesh.mNumVertices) Fail(prefix + "index out of range");
                out.indices.push_back(static_cast<std::uint32_t>(base + face.mIndices[k]));
            }
            out.colors.push_back(color);
        }
    }
    return out;
}

}  // namespace detail

void WriteObj(std::ostream& obj, std::ostream* mtl, const std::string& mtlFileName,
              const FloatMesh& mesh, const WriteOptions& options) {
    detail::CheckConsistent(mesh, "mesh to write");
    const bool colors = options.colors && !mesh.colors.empty();
    if (colors && !mtl) detail::Fail("OBJ: colours need a material library stream");
    if (colors && (mtlFileName.empty() || mtlFileName.find_first_of("\r\n") != std::string::npos))
        detail::Fail("OBJ: the material library needs a name on one line");

    detail::Output out(obj);
    out.Put("# written by kvx\n");
    if (colors) out.Put("mtllib " + mtlFileName + "\n");
    for (std::size_t i = 0; i < mesh.points.size(); i += 3) {
        out.Put('v');
        for (int k = 0; k < 3; ++k) {
            out.Put(' ');
            out.PutNumber(mesh.points[i + k]);
        }
        out.Put('\n');
        out.Flush();
    }

    // Triangles grouped by colour (a counting sort), those without colour (key 0) first.
    const std::size_t triangles = mesh.indices.size() / 3;
    auto key = [&](std::size_t t) -> std::size_t {
        return colors && detail::HasColor(mesh.colors[t]) ? mesh.colors[t] : 0;
    };
    std::vector<std::uint32_t> order;
    std::vector<std::size_t> start(colors ? 0x10001 : 0, 0);
    if (colors) {
        for (std::size_t t = 0; t < triangles; ++t)
            ++start[key(t) + 1];
        for (std::size_t k = 1; k < start.size(); ++k)
            start[k] += start[k - 1];
        order.resize(triangles);
        for (std::size_t t = 0; t < triangles; ++t)
            order[start[key(t)]++] = static_cast<std::uint32_t>(t);
    }

    std::string materials;
    std::size_t current = std::numeric_limits<std::size_t>::max();
    for (std::size_t i = 0; i < triangles; ++i) {
        const std::size_t t = colors ? order[i] : i;
        if (colors && key(t) != current) {
            current = key(t);
            const auto c = static_cast<std::uint16_t>(current);
            const std::string name = MaterialName(c);
            out.Put("usemtl " + name + "\n");
            materials += "newmtl " + name + "\nKd";
            const auto rgb = c ? detail::Rgb8FromColor(c) : detail::kNeutralGrey;
            for (std::uint8_t channel : rgb) {
                char text[32];
                const auto r = std::to_chars(text, text + sizeof text, channel / 255.0f);
                materials += ' ';
                materials.append(text, r.ptr);
            }
            materials += "\n";
        }
        out.Put('f');
        for (int k = 0; k < 3; ++k) {
            out.Put(' ');
            out.PutNumber(std::uint64_t{mesh.indices[3 * t + k]} + 1);
        }
        out.Put('\n');
        out.Flush();
    }
    out.Flush(true);
    if (colors) {
        *mtl << "# written by kvx\n" << materials;
        if (!*mtl) detail::Fail("writing the material library failed (output stream error)");
    }
}

}  // namespace kvx::meshio
