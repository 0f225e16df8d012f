// OFF, hand-written: assimp's reader allocates what the header claims before checking it against
// the file, so a few bytes could ask for gigabytes. Here counts are checked against the bytes
// that remain first.
#include <string>
#include <vector>

#include "Detail.h"

namespace kvx::meshio::detail {
namespace {

// Longest line accepted (a face line lists all its vertices).
constexpr std::size_t kMaxLine = std::size_t{64} << 10;
// The shortest vertex line ("0 0 0\n") and face line ("0\n").
constexpr std::uint64_t kMinVertexBytes = 6;
constexpr std::uint64_t kMinFaceBytes = 2;

// The whitespace-separated words of the next line that has any, without "#" comments.
std::vector<std::string_view> NextWords(Input& in) {
    std::vector<std::string_view> words;
    while (words.empty()) {
        if (in.Remaining() == 0) in.Truncated();
        std::string_view line = in.Line(kMaxLine);
        line = line.substr(0, line.find('#'));
        for (std::size_t at = 0;;) {
            at = line.find_first_not_of(" \t\r\v\f", at);
            if (at == std::string_view::npos) break;
            const std::size_t end = std::min(line.find_first_of(" \t\r\v\f", at), line.size());
            words.push_back(line.substr(at, end - at));
            at = end;
        }
    }
    return words;
}

template <class T>
T Number(std::string_view word, const char* what) {
    T value{};
    if (!ParseNumber(word, value))
        Fail("OFF: " + std::string(what) + " '" + std::string(word.substr(0, 40)) +
             "' is not a number");
    return value;
}

}  // namespace

FloatMesh ReadOff(const std::filesystem::path& file) {
    Input in(file, "OFF");
    std::vector<std::string_view> words = NextWords(in);
    if (words[0] != "OFF")
        Fail(
            "OFF: the file does not start with \"OFF\" (variants such as COFF or NOFF are not "
            "read)");
    words.erase(words.begin());
    if (words.empty()) words = NextWords(in);
    if (words.size() < 2) Fail("OFF: the vertex and face counts are missing");
    const auto vertices = Number<std::uint64_t>(words[0], "vertex count");
    const auto faces = Number<std::uint64_t>(words[1], "face count");
    if (vertices > UINT32_MAX || vertices > in.Remaining() / kMinVertexBytes ||
        faces > in.Remaining() / kMinFaceBytes)
        Fail("OFF: " + std::to_string(vertices) + " vertices and " + std::to_string(faces) +
             " faces cannot fit in the " + std::to_string(in.Remaining()) + " bytes that follow");

    FloatMesh mesh;
    mesh.points.reserve(3 * vertices);
    for (std::uint64_t v = 0; v < vertices; ++v) {
        words = NextWords(in);
        if (words.size() < 3) Fail("OFF: vertex " + std::to_string(v) + " has fewer than 3 values");
        for (int c = 0; c < 3; ++c)
            mesh.points.push_back(Number<float>(words[c], "coordinate"));
    }
    mesh.indices.reserve(3 * faces);
    for (std::uint64_t f = 0; f < faces; ++f) {
        words = NextWords(in);
        const auto corners = Number<std::uint64_t>(words[0], "face size");
        if (corners > words.size() - 1)
            Fail("OFF: face " + std::to_string(f) + " lists fewer vertices than it says");
        std::uint32_t first = 0, previous = 0;
        for (std::uint64_t k = 0; k < corners; ++k) {
            const auto index = Number<std::uint64_t>(words[1 + k], "vertex index");
            if (index >= vertices)
                Fail("OFF: face " + std::to_string(f) + " names vertex " + std::to_string(index) +
                     " of " + std::to_string(vertices));
            const auto i = static_cast<std::uint32_t>(index);
            if (k == 0) first = i;
            // Polygons become fans; faces with fewer than 3 corners give no triangle.
            if (k >= 2) mesh.indices.insert(mesh.indices.end(), {first, previous, i});
            previous = i;
        }
    }
    return mesh;
}

}  // namespace kvx::meshio::detail
