// STL: binary with both facet colour conventions, and ASCII. All hand-written: no library keeps
// both colour conventions, and general-purpose importers parse numbers inexactly, so ASCII files
// written with the shortest round-trip text would not read back as the same floats.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "Detail.h"

namespace kvx::meshio::detail {
namespace {

constexpr std::size_t kHeaderSize = 80;
constexpr std::size_t kFacetSize = 50;
constexpr std::uint64_t kMaxTriangles = std::numeric_limits<std::uint32_t>::max() / 3;
constexpr std::string_view kColorTag = "COLOR=";
// Never "solid...": readers take a header starting so for ASCII.
constexpr std::string_view kWriterHeader = "binary STL written by kvx";
constexpr std::array<std::uint8_t, 4> kDefaultObjectColor = {kNeutralGrey[0], kNeutralGrey[1],
                                                             kNeutralGrey[2], 0xFF};

// Exchanges red and blue (bits 10-14 and 0-4): the header convention's layout to ours and back;
// clears bit 15.
std::uint16_t SwapRedBlue(std::uint16_t c) {
    return static_cast<std::uint16_t>((c >> 10 & 31) | (c & 0x03E0) | (c & 31) << 10);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
    return true;
}

// ASCII STL: "solid" after optional white space, and no control bytes in the first block (a
// binary header may start with "solid" too).
bool LooksAscii(std::string_view head) {
    constexpr std::string_view spaces = " \t\r\n\v\f";
    const auto at = head.find_first_not_of(spaces);
    if (at == std::string_view::npos || !EqualsIgnoringCase(head.substr(at, 5), "solid"))
        return false;
    return std::none_of(head.begin(), head.end(), [&](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && spaces.find(c) == std::string_view::npos) || byte == 0x7F;
    });
}

FloatMesh ReadBinary(Input& in) {
    const std::uint8_t* header = in.Take(kHeaderSize + 4);
    const std::uint32_t count = LoadLE<std::uint32_t>(header + kHeaderSize);
    if (count > kMaxTriangles)
        Fail("binary STL: " + std::to_string(count) + " triangles, more than the " +
             std::to_string(kMaxTriangles) + " that 32-bit point indices allow");
    FloatMesh mesh;
    const std::string_view text(reinterpret_cast<const char*>(header), kHeaderSize);
    const std::size_t tag = text.find(kColorTag);
    const bool headerColors = tag != std::string_view::npos;
    if (headerColors && tag + kColorTag.size() + 4 <= kHeaderSize) {
        const std::uint8_t* rgba = header + tag + kColorTag.size();
        mesh.objectColor = std::array<std::uint8_t, 4>{rgba[0], rgba[1], rgba[2], rgba[3]};
    }

    mesh.points.resize(std::size_t{9} * count);
    mesh.indices.resize(std::size_t{3} * count);
    mesh.colors.resize(count);
    std::iota(mesh.indices.begin(), mesh.indices.end(), 0u);
    float* point = mesh.points.data();
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min<std::size_t>(count - done, in.Capacity() / kFacetSize);
        const std::uint8_t* facet = in.Take(n * kFacetSize);
        for (std::size_t i = 0; i < n; ++i, facet += kFacetSize, point += 9) {
            if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(point, facet + 12, 36);  // skips the normal
            } else {
                for (int k = 0; k < 9; ++k)
                    point[k] = LoadLE<float>(facet + 12 + 4 * k);
            }
            mesh.colors[done + i] = LoadLE<std::uint16_t>(facet + 48);
        }
        done += n;
    }

    // All-invalid colours are dropped later, as for every reader.
    for (std::uint16_t& c : mesh.colors) {
        if (headerColors)
            c = HasColor(c) ? 0 : static_cast<std::uint16_t>(kColorValid | SwapRedBlue(c));
        else if (!HasColor(c))
            c = 0;
    }
    return mesh;
}

// A word for an error message: printable, not too long.
std::string Quoted(std::string_view word) {
    if (word.empty()) return "the end of the file";
    std::string out = "\"";
    for (char c : word.substr(0, 32))
        out += c >= 0x20 && c < 0x7F ? c : '?';
    return out + (word.size() > 32 ? "...\"" : "\"");
}

// The longest solid name kept (the rest of a longer "solid" line is skipped).
constexpr std::size_t kMaxName = 1024;

std::string Trimmed(std::string_view text) {
    constexpr std::string_view spaces = " \t\r\v\f";
    const auto begin = text.find_first_not_of(spaces);
    if (begin == std::string_view::npos) return {};
    return std::string(text.substr(begin, text.find_last_not_of(spaces) + 1 - begin));
}

class AsciiReader {
public:
    explicit AsciiReader(Input& in) : in_(in) {}

    FloatMesh Read() {
        FloatMesh mesh;
        std::string_view word = in_.Token();
        do {
            if (!EqualsIgnoringCase(word, "solid"))
                Fail("ASCII STL: expected \"solid\", found " + Quoted(word));
            MeshGroup solid{Trimmed(in_.LineHead(kMaxName)), mesh.indices.size() / 3, 0};
            for (;;) {
                word = in_.Token();
                if (EqualsIgnoringCase(word, "endsolid")) break;
                if (!EqualsIgnoringCase(word, "facet"))
                    Fail("ASCII STL: expected \"facet\" or \"endsolid\", found " + Quoted(word));
                Expect("normal");
                for (int k = 0; k < 3; ++k)
                    Number();
                Expect("outer");
                Expect("loop");
                for (int v = 0; v < 3; ++v) {
                    Expect("vertex");
                    for (int k = 0; k < 3; ++k)
                        mesh.points.push_back(Number());
                    if (mesh.points.size() / 3 > std::numeric_limits<std::uint32_t>::max())
                        Fail("ASCII STL: more than 2^32 - 1 points");
                    mesh.indices.push_back(static_cast<std::uint32_t>(mesh.indices.size()));
                }
                Expect("endloop");
                Expect("endfacet");
            }
            in_.SkipLine();  // the name again
            solid.triangleCount = mesh.indices.size() / 3 - solid.firstTriangle;
            if (solid.triangleCount > 0) mesh.groups.push_back(std::move(solid));
            word = in_.Token();
        } while (!word.empty());
        if (mesh.groups.size() < 2) mesh.groups.clear();
        return mesh;
    }

private:
    void Expect(std::string_view keyword) {
        const std::string_view word = in_.Token();
        if (!EqualsIgnoringCase(word, keyword))
            Fail("ASCII STL: expected \"" + std::string(keyword) + "\", found " + Quoted(word));
    }
    float Number() {
        const std::string_view word = in_.Token();
        float v;
        if (!ParseNumber(word, v)) Fail("ASCII STL: expected a number, found " + Quoted(word));
        return v;
    }
    Input& in_;
};

// The unit normal of a triangle; zero when it is degenerate.
std::array<float, 3> Normal(const float* a, const float* b, const float* c) {
    const float u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const float v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    std::array<float, 3> n = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                              u[0] * v[1] - u[1] * v[0]};
    const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(length > 0) || !std::isfinite(length)) return {0, 0, 0};
    for (float& x : n)
        x /= length;
    return n;
}

const float* Corner(const FloatMesh& mesh, std::size_t triangle, int k) {
    return mesh.points.data() + std::size_t{3} * mesh.indices[3 * triangle + k];
}

void WriteBinary(std::ostream& stream, const FloatMesh& mesh, const WriteOptions& options) {
    const std::size_t triangles = mesh.indices.size() / 3;
    if (triangles > kMaxTriangles) Fail("binary STL: too many triangles to write");
    const bool colors = options.colors && !mesh.colors.empty();
    const bool headerColors = options.colors && options.stlColors == StlColors::Header;

    std::string header(kWriterHeader);
    if (headerColors) {
        const auto rgba = mesh.objectColor.value_or(kDefaultObjectColor);
        header += ' ';
        header += kColorTag;
        header.append(rgba.begin(), rgba.end());
    }
    header.resize(kHeaderSize, '\0');

    Output out(stream);
    out.Put(header.data(), header.size());
    out.PutLE(static_cast<std::uint32_t>(triangles));
    for (std::size_t t = 0; t < triangles; ++t) {
        std::uint16_t attribute = colors ? mesh.colors[t] : 0;
        if (headerColors) attribute = HasColor(attribute) ? SwapRedBlue(attribute) : kColorValid;
        const float *a = Corner(mesh, t, 0), *b = Corner(mesh, t, 1), *c = Corner(mesh, t, 2);
        const auto n = Normal(a, b, c);
        out.PutLE(n[0], n[1], n[2], a[0], a[1], a[2], b[0], b[1], b[2], c[0], c[1], c[2],
                  attribute);
        out.Flush();
    }
    out.Flush(true);
}

void PutTriple(Output& out, const float* v) {
    for (int k = 0; k < 3; ++k) {
        out.Put(' ');
        out.PutNumber(v[k]);
    }
    out.Put('\n');
}

void WriteAscii(std::ostream& stream, const FloatMesh& mesh, const WriteOptions& options) {
    std::string name = options.name;
    for (char& c : name)
        if (c == '\n' || c == '\r') c = ' ';
    Output out(stream);
    out.Put("solid ");
    out.Put(name);
    out.Put('\n');
    for (std::size_t t = 0; t < mesh.indices.size() / 3; ++t) {
        out.Put("  facet normal");
        PutTriple(out, Normal(Corner(mesh, t, 0), Corner(mesh, t, 1), Corner(mesh, t, 2)).data());
        out.Put("    outer loop\n");
        for (int k = 0; k < 3; ++k) {
            out.Put("      vertex");
            PutTriple(out, Corner(mesh, t, k));
        }
        out.Put("    endloop\n  endfacet\n");
        out.Flush();
    }
    out.Put("endsolid ");
    out.Put(name);
    out.Put('\n');
    out.Flush(true);
}

}  // namespace

FloatMesh ReadStl(const std::filesystem::path& file, Progress& progress) {
    Input in(file, "STL", &progress);
    const std::uint64_t size = in.Size();
    // Binary exactly when the size agrees with the triangle count, even after a header
    // starting with "solid" (as some exporters write); otherwise ASCII or refused.
    const std::string_view head = in.Peek(4096);
    if (size >= kHeaderSize + 4) {
        if (head.size() < kHeaderSize + 4) in.Truncated();
        const auto count =
            LoadLE<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(head.data()) + kHeaderSize);
        const std::uint64_t expected = kHeaderSize + 4 + std::uint64_t{kFacetSize} * count;
        if (size == expected) return ReadBinary(in);
        if (!LooksAscii(head))
            Fail("binary STL: the file has " + std::to_string(size) + " bytes, but its " +
                 std::to_string(count) + " triangles need 84 + 50 x " + std::to_string(count) +
                 " = " + std::to_string(expected));
    } else if (!LooksAscii(head)) {
        Fail("binary STL: the file has " + std::to_string(size) +
             " bytes, fewer than the 84 of the header");
    }
    return AsciiReader(in).Read();
}

void WriteStl(std::ostream& out, const FloatMesh& mesh, const WriteOptions& options) {
    if (options.ascii)
        WriteAscii(out, mesh, options);
    else
        WriteBinary(out, mesh, options);
}

}  // namespace kvx::meshio::detail
