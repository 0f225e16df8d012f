// Fuzz target: the connectivity decoder of the mesh payload's format 2. A mesh it accepts is a
// closed corner table; coded again, it must decode to exactly what the encoder's walk built.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "maker/Edgebreaker.h"

using namespace KvxInternal;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    edgebreaker::Mesh mesh;
    if (!edgebreaker::Decode(data, data + size, 64 * size + 64, mesh)) return 0;
    for (std::size_t c = 0; c < mesh.opposite.size(); ++c)
        if (mesh.opposite[c] >= mesh.opposite.size() || mesh.opposite[mesh.opposite[c]] != c ||
            mesh.vertex[c] >= mesh.vertices)
            std::abort();
    std::vector<std::uint8_t> again;
    const edgebreaker::Walk walk = edgebreaker::Encode(mesh, again);
    edgebreaker::Mesh back;
    if (!edgebreaker::Decode(again.data(), again.data() + again.size(), mesh.vertex.size() / 3,
                             back) ||
        back.vertex != walk.decoded.vertex || back.opposite != walk.decoded.opposite)
        std::abort();
    return 0;
}
