// OFF and its variants COFF, NOFF and CNOFF, hand-written: a general-purpose reader allocates what
// the header claims before checking it against the file, so a few bytes could ask for gigabytes.
// Here counts are checked against the bytes that remain first.
#include <array>
#include <optional>
#include <span>
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

std::string Shown(std::string_view word) {
    std::string out;
    for (char c : word.substr(0, 40))
        out += c >= 0x20 && c < 0x7F ? c : '?';
    return out;
}

template <class T>
T Number(std::string_view word, const char* what) {
    T value{};
    if (!ParseNumber(word, value))
        Fail("OFF: " + std::string(what) + " '" + Shown(word) + "' is not a number");
    return value;
}

struct Variant {
    bool normals = false;  // NOFF: 3 normal components after x y z, ignored
    bool colors = false;   // COFF: a colour after x y z (and the normal)
};

// The variant a first word names; refuses the variants we do not read.
Variant ParseVariant(std::string_view keyword) {
    if (!keyword.ends_with("OFF"))
        Fail("OFF: the file does not start with \"OFF\" (or COFF, NOFF, CNOFF)");
    const std::string_view prefix = keyword.substr(0, keyword.size() - 3);
    if (prefix.empty()) return {};
    if (prefix == "C") return {false, true};
    if (prefix == "N") return {true, false};
    if (prefix == "CN" || prefix == "NC") return {true, true};
    Fail("OFF: the variant \"" + Shown(keyword) +
         "\" is not read (only OFF, COFF, NOFF and CNOFF)");
}

// A colour of 3 or 4 components (alpha ignored): 0-255 when all are integers, else 0-1.
std::array<std::uint8_t, 3> ParseColor(std::span<const std::string_view> words, const char* what,
                                       std::uint64_t which) {
    bool integers = true;
    for (std::string_view w : words) {
        std::int64_t v;
        integers &= ParseNumber(w, v);
    }
    std::array<std::uint8_t, 3> rgb{};
    for (int c = 0; c < 3; ++c) {
        if (integers) {
            std::int64_t v = 0;
            ParseNumber(words[c], v);
            if (v < 0 || v > 255)
                Fail("OFF: " + std::string(what) + " " + std::to_string(which) +
                     " has a colour component " + std::to_string(v) +
                     " outside 0-255 (integer components are 0-255)");
            rgb[c] = static_cast<std::uint8_t>(v);
        } else {
            rgb[c] = static_cast<std::uint8_t>(Channel8(Number<double>(words[c], "colour")));
        }
    }
    return rgb;
}

}  // namespace

FloatMesh ReadOff(const std::filesystem::path& file, Progress& progress) {
    Input in(file, "OFF", &progress);
    std::vector<std::string_view> words = NextWords(in);
    const Variant variant = ParseVariant(words[0]);
    words.erase(words.begin());
    if (!words.empty() && words[0] == "BINARY") Fail("OFF: binary OFF is not read");
    if (words.empty()) words = NextWords(in);
    if (words.size() < 2) Fail("OFF: the vertex and face counts are missing");
    const auto vertices = Number<std::uint64_t>(words[0], "vertex count");
    const auto faces = Number<std::uint64_t>(words[1], "face count");
    if (vertices > UINT32_MAX || vertices > in.Remaining() / kMinVertexBytes ||
        faces > in.Remaining() / kMinFaceBytes)
        Fail("OFF: " + Count(vertices, "vertex", "vertices") + " and " +
             Count(faces, "face", "faces") + " cannot fit in the rest of the file (" +
             Count(in.Remaining(), "byte", "bytes") + ")");

    FloatMesh mesh;
    // Values on a vertex line: x y z, the normal, then the colour.
    const std::size_t colorAt = variant.normals ? 6 : 3;
    const std::size_t needed = colorAt + (variant.colors ? 3 : 0);
    const std::size_t used = colorAt + (variant.colors ? 4 : 0);
    std::vector<std::uint8_t> vertexRgb(variant.colors ? 3 * vertices : 0);
    std::uint64_t extraValues = 0;
    mesh.points.reserve(3 * vertices);
    for (std::uint64_t v = 0; v < vertices; ++v) {
        words = NextWords(in);
        if (words.size() < needed)
            Fail("OFF: vertex " + std::to_string(v) + " has fewer than " + std::to_string(needed) +
                 " values");
        for (int c = 0; c < 3; ++c)
            mesh.points.push_back(Number<float>(words[c], "coordinate"));
        for (std::size_t c = 3; c < colorAt; ++c)
            Number<float>(words[c], "normal component");
        if (variant.colors) {
            const auto rgb = ParseColor(
                std::span(words).subspan(colorAt, std::min<std::size_t>(4, words.size() - colorAt)),
                "vertex", v);
            std::copy(rgb.begin(), rgb.end(), vertexRgb.begin() + 3 * v);
        }
        extraValues += words.size() > used;
    }

    std::uint64_t fewCorners = 0, ownColors = 0, averaged = 0, badColors = 0;
    mesh.indices.reserve(3 * faces);
    mesh.colors.reserve(faces);
    for (std::uint64_t f = 0; f < faces; ++f) {
        words = NextWords(in);
        const auto corners = Number<std::uint64_t>(words[0], "face size");
        if (corners > words.size() - 1)
            Fail("OFF: face " + std::to_string(f) + " lists fewer vertices than it says");
        detail::Fan fan(mesh.indices);
        ColorSum sum;
        for (std::uint64_t k = 0; k < corners; ++k) {
            const auto index = Number<std::uint64_t>(words[1 + k], "vertex index");
            if (index >= vertices)
                Fail("OFF: face " + std::to_string(f) + " names vertex " + std::to_string(index) +
                     " of " + std::to_string(vertices));
            const auto i = static_cast<std::uint32_t>(index);
            if (variant.colors) sum.Add(&vertexRgb[3 * std::size_t{i}]);
            // Polygons become fans; faces with fewer than 3 corners give no triangle.
            fan.Add(i);
        }
        if (corners < 3) {
            ++fewCorners;
            continue;
        }
        // What follows the indices: nothing, or a colour of 3 or 4 components.
        const std::size_t rest = words.size() - 1 - corners;
        std::uint16_t color = 0;
        if (rest == 3 || rest == 4) {
            const auto rgb = ParseColor(std::span(words).subspan(1 + corners, rest), "face", f);
            color = ColorFromRgb8(rgb[0], rgb[1], rgb[2]);
            ++ownColors;
        } else {
            badColors += rest != 0;
            if (variant.colors) {
                color = sum.Average();
                ++averaged;
            }
        }
        mesh.colors.resize(mesh.indices.size() / 3, color);
    }

    if (extraValues > 0)
        mesh.warnings.push_back(
            "values after the " +
            std::string(variant.normals ? "coordinates, normal" : "coordinates") +
            (variant.colors ? " and colour" : "") + " of " +
            Count(extraValues, "vertex", "vertices") + " ignored");
    if (fewCorners > 0)
        mesh.warnings.push_back(Count(fewCorners, "face", "faces") +
                                " with fewer than 3 vertices left out");
    if (badColors > 0)
        mesh.warnings.push_back(
            "colours of " + Count(badColors, "face", "faces") +
            " ignored: not 3 or 4 components (colour-map indices are not read)");
    if (averaged > 0)
        mesh.warnings.push_back(
            ownColors > 0 ? "vertex colours averaged over each face's corners into "
                            "colours for the " +
                                Count(averaged, "face", "faces") + " without a colour of their own"
                          : "vertex colours averaged over each face's corners into face "
                            "colours");
    else if (variant.colors && vertices > 0 && ownColors > 0)
        mesh.warnings.push_back("vertex colours of " + Count(vertices, "vertex", "vertices") +
                                " ignored: every face has a colour of its own");
    return mesh;
}

}  // namespace kvx::meshio::detail
