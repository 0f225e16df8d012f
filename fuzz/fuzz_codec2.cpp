// Fuzz target: the mesh payload's format 2 decoder. The input is a body without its checksum;
// the harness appends the right one, so that the fuzzer reaches the blocks behind it. A mesh it
// accepts is coded again and must decode to the same points and triangles (as multisets, each
// triangle rotated to its smallest point, so orientation and colour count).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "maker/MeshCodec2.h"

using namespace KvxInternal;

namespace {

using Triangle = std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                            std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::uint16_t>;

std::vector<Triangle> Content(const MStlBase& mesh) {
    std::vector<Triangle> out;
    for (const MStlTriangle& t : mesh.Triangles()) {
        MStlPoint p[3] = {mesh.GetPoint(t.points[0]), mesh.GetPoint(t.points[1]),
                          mesh.GetPoint(t.points[2])};
        std::rotate(p, std::min_element(p, p + 3), p + 3);
        out.emplace_back(p[0].x, p[0].y, p[0].z, p[1].x, p[1].y, p[1].z, p[2].x, p[2].y, p[2].z,
                         t.color);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> body(data, data + size);
    const std::uint64_t sum = codec2::Checksum(body.data(), body.size());
    for (int k = 0; k < 8; ++k)
        body.push_back(static_cast<std::uint8_t>(sum >> (8 * k)));
    // The budget a file of this size would have (one for the check, one for the decode).
    const std::uint64_t limit = (std::uint64_t{64} << 20) + 1024 * std::uint64_t{size};
    std::uint64_t left = limit;
    const codec2::Charge charge = [&](std::uint64_t count, std::uint64_t bytes) {
        if (bytes != 0 && count > left / bytes) return false;
        left -= count * bytes;
        return true;
    };
    // A check must say what the decode says.
    std::uint64_t checkedTriangles = 0;
    const bool sound =
        codec2::Check(body.data(), body.data() + body.size(), charge, checkedTriangles);
    left = limit;
    MStlBase mesh;
    const bool decoded = codec2::Decode(body.data(), body.data() + body.size(), mesh, charge);
    if (sound != decoded) std::abort();
    if (!decoded) {
        if (mesh.NumberOfPoints() + mesh.NumberOfTriangles() != 0) std::abort();
        return 0;
    }
    if (checkedTriangles != mesh.NumberOfTriangles()) std::abort();
    std::vector<std::uint8_t> again;
    codec2::Encode(mesh, again);
    MStlBase back;
    const codec2::Charge unlimited = [](std::uint64_t, std::uint64_t) { return true; };
    if (!codec2::Decode(again.data(), again.data() + again.size(), back, unlimited) ||
        back.NumberOfPoints() != mesh.NumberOfPoints() || Content(back) != Content(mesh))
        std::abort();
    return 0;
}
