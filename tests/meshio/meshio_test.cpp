#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "MeshFormats.h"
#include "support/TestFiles.h"

namespace {

using namespace kvx::meshio;
using kvxtest::TempDir;

constexpr std::uint16_t kRed = 0x8000 | 31 << 10;
constexpr std::uint16_t kBlue = 0x8000 | 31;
constexpr std::uint16_t kBlack = 0x8000;  // a valid colour: not the same as none
constexpr std::uint16_t kMixed = 0x8000 | 3 << 10 | 17 << 5 | 29;

// Points that only an exact text round trip keeps; triangles sharing points; one degenerate.
FloatMesh Sample(std::vector<std::uint16_t> colors = {}) {
    FloatMesh m;
    m.points = {0.1f, -2.5e-7f, 12345.678f, 1e-30f, 3.0e38f, -0.0f,    7.0f, 1.0f / 3, -9.75f,
                0.3f, 0.2f,     0.1f,       -1e10f, 5e-5f,   123.456f, 2.0f, 1.0f,     0.0f};
    m.indices = {0, 1, 2, 0, 2, 3, 1, 3, 4, 4, 4, 5};
    m.colors = std::move(colors);
    return m;
}

// The triangles as point coordinates with their colour, in a canonical order: what a reader
// must give back, whatever it does to point sharing and triangle order.
struct Triangle {
    std::array<float, 9> p;
    std::uint16_t color;
    auto operator<=>(const Triangle&) const = default;
};

std::vector<Triangle> Soup(const FloatMesh& m, bool sorted = true) {
    std::vector<Triangle> out;
    for (std::size_t t = 0; t < m.indices.size() / 3; ++t) {
        Triangle tri{};
        for (int k = 0; k < 9; ++k)
            tri.p[k] = m.points[3 * m.indices[3 * t + k / 3] + k % 3];
        tri.color = m.colors.empty() ? 0 : m.colors[t];
        out.push_back(tri);
    }
    if (sorted) std::sort(out.begin(), out.end());
    return out;
}

std::string Written(const FloatMesh& m, Format format, const WriteOptions& options) {
    std::ostringstream out;
    WriteMesh(out, m, format, options);
    return out.str();
}

void Put(const std::string& path, std::string_view bytes) {
    kvxtest::WriteFile(path, kvxtest::Bytes(bytes.begin(), bytes.end()));
}

// The message of the MeshError that reading throws, checked to be one line.
std::string ReadError(const std::string& path, Format format) {
    try {
        ReadMesh(path, format);
    } catch (const MeshError& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        EXPECT_FALSE(what.empty());
        return what;
    }
    return "<no error>";
}

// A file that reading must refuse, with a word of the message expected.
struct Refusal {
    const char* name;
    std::string bytes;
    const char* message;
};

template <std::size_t N>
void ExpectRefused(const Refusal (&cases)[N], Format format) {
    TempDir dir;
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        Put(dir.file("refused"), c.bytes);
        const std::string message = ReadError(dir.file("refused"), format);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
}

// Binary data, little- or big-endian.
class Bin {
public:
    explicit Bin(bool big = false) : big_(big) {}
    template <typename T>
    requires std::is_arithmetic_v<T> Bin& operator()(T v) {
        std::uint8_t b[sizeof v];
        std::memcpy(b, &v, sizeof v);
        if ((std::endian::native == std::endian::big) != big_) std::reverse(b, b + sizeof v);
        bytes_.append(reinterpret_cast<const char*>(b), sizeof v);
        return *this;
    }
    Bin& operator()(std::string_view text) {
        bytes_ += text;
        return *this;
    }
    const std::string& str() const { return bytes_; }

private:
    bool big_;
    std::string bytes_;
};

// A binary STL: an 80-byte header and facets of 9 coordinates and an attribute.
struct Facet {
    std::array<float, 9> p;
    std::uint16_t attribute;
};
std::string BinaryStl(std::string header, const std::vector<Facet>& facets) {
    header.resize(80, '\0');
    Bin b;
    b(header)(static_cast<std::uint32_t>(facets.size()));
    for (const Facet& f : facets) {
        b(0.0f)(0.0f)(1.0f);
        for (float x : f.p)
            b(x);
        b(f.attribute);
    }
    return b.str();
}

constexpr std::array<float, 9> kTri = {0, 0, 0, 1, 0, 0, 0, 1, 0};
constexpr std::array<float, 9> kTri2 = {0, 0, 1, 1, 0, 1, 0, 1, 1};

TEST(MeshFormats, FormatFromPath) {
    EXPECT_EQ(FormatFromPath("a/b.STL"), Format::Stl);
    EXPECT_EQ(FormatFromPath("b.Ply"), Format::Ply);
    EXPECT_EQ(FormatFromPath("x.y.obj"), Format::Obj);
    EXPECT_EQ(FormatFromPath("c.off"), Format::Off);
    EXPECT_EQ(FormatFromPath("stl"), std::nullopt);
    EXPECT_EQ(FormatFromPath("a.kvx"), std::nullopt);
}

// Write, read back, compare the triangles and colours: every writable format and option, for a
// mesh without colours, with some faces uncoloured (including valid black), and fully coloured.
TEST(MeshFormats, RoundTrips) {
    struct Case {
        const char* name;
        Format format;
        bool ascii;
        StlColors stlColors;
        bool keepsColors;
    };
    const Case cases[] = {
        {"stl", Format::Stl, false, StlColors::ValidBit, true},
        {"stl-header", Format::Stl, false, StlColors::Header, true},
        {"stl-ascii", Format::Stl, true, StlColors::ValidBit, false},
        {"ply", Format::Ply, false, StlColors::ValidBit, true},
        {"ply-ascii", Format::Ply, true, StlColors::ValidBit, true},
        {"obj", Format::Obj, false, StlColors::ValidBit, true},
    };
    const std::vector<std::uint16_t> colorings[] = {
        {}, {kRed, kMixed, 0, kBlack}, {kBlue, kRed, kMixed, kBlack}};
    TempDir dir;
    for (const Case& c : cases)
        for (const auto& coloring : colorings)
            for (bool withColors : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + " colours " + std::to_string(coloring.size()) +
                             (withColors ? " written" : " not written"));
                const FloatMesh mesh = Sample(coloring);
                WriteOptions options;
                options.colors = withColors;
                options.ascii = c.ascii;
                options.stlColors = c.stlColors;
                options.name = "sample";
                const std::string path = dir.file(std::string("m.") + c.name);
                {
                    std::ofstream out(path, std::ios::binary);
                    std::ofstream mtl(dir.file("m.mtl"));
                    if (c.format == Format::Obj)
                        WriteObj(out, &mtl, "m.mtl", mesh, options);
                    else
                        WriteMesh(out, mesh, c.format, options);
                }
                const FloatMesh read = ReadMesh(path, c.format);

                FloatMesh expected = mesh;
                if (!withColors || !c.keepsColors) expected.colors.clear();
                EXPECT_EQ(read.colors.empty(), expected.colors.empty());
                EXPECT_TRUE(read.warnings.empty()) << read.warnings.front();
                EXPECT_TRUE(read.groups.empty());
                const auto want = Soup(expected), got = Soup(read);
                ASSERT_EQ(got.size(), want.size());
                for (std::size_t t = 0; t < got.size(); ++t) {
                    EXPECT_EQ(got[t].color, want[t].color) << "triangle " << t;
                    for (int k = 0; k < 9; ++k)
                        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[t].p[k]),
                                  std::bit_cast<std::uint32_t>(want[t].p[k]))
                            << got[t].p[k] << " vs " << want[t].p[k];
                }
            }
}

TEST(MeshFormats, BinaryStlLayout) {
    FloatMesh m;
    m.points = {0, 0, 0, 2, 0, 0, 0, 2, 0, 5, 5, 5};
    m.indices = {0, 1, 2, 3, 3, 3};  // the second is degenerate
    m.colors = {kMixed, 0};
    auto attribute = [](const std::string& s, int facet) {
        std::uint16_t a;
        std::memcpy(&a, s.data() + 84 + 50 * facet + 48, 2);
        return a;
    };
    auto normal = [](const std::string& s, int facet) {
        std::array<float, 3> n;
        std::memcpy(n.data(), s.data() + 84 + 50 * facet, 12);
        return n;
    };

    WriteOptions options;
    const std::string plain = Written(m, Format::Stl, options);
    ASSERT_EQ(plain.size(), 84u + 2 * 50);
    EXPECT_EQ(attribute(plain, 0), 0);
    EXPECT_EQ(plain.substr(0, 80).find("COLOR="), std::string::npos);
    EXPECT_EQ(normal(plain, 0), (std::array<float, 3>{0, 0, 1}));
    EXPECT_EQ(normal(plain, 1), (std::array<float, 3>{0, 0, 0}));

    options.colors = true;
    const std::string validBit = Written(m, Format::Stl, options);
    EXPECT_EQ(attribute(validBit, 0), kMixed);
    EXPECT_EQ(attribute(validBit, 1), 0);

    options.stlColors = StlColors::Header;
    m.objectColor = std::array<std::uint8_t, 4>{1, 2, 3, 4};
    const std::string header = Written(m, Format::Stl, options);
    EXPECT_EQ(attribute(header, 0), 29 << 10 | 17 << 5 | 3);  // bit 15 clear, red and blue swapped
    EXPECT_EQ(attribute(header, 1), 0x8000);                  // "the object colour"
    const auto tag = header.substr(0, 80).find("COLOR=");
    ASSERT_NE(tag, std::string::npos);
    EXPECT_EQ(header.substr(tag + 6, 4), std::string("\1\2\3\4"));

    m.objectColor.reset();
    const std::string grey = Written(m, Format::Stl, options);
    EXPECT_EQ(grey.substr(grey.find("COLOR=") + 6, 4), std::string("\x80\x80\x80\xFF"));

    for (const std::string* s : {&plain, &validBit, &header})
        EXPECT_NE(s->substr(0, 5), "solid");
}

// Hand-made files in both conventions, with known attribute bits.
TEST(MeshFormats, BinaryStlColorConventions) {
    struct Case {
        const char* name;
        std::string header;
        std::vector<std::uint16_t> attributes;
        std::vector<std::uint16_t> colors;
        std::optional<std::array<std::uint8_t, 4>> objectColor;
    };
    const Case cases[] = {
        {"validbit", "exported with valid-bit colours", {kRed, 0x7C1F, 0}, {kRed, 0, 0}, {}},
        {"no colours", "plain", {0, 0x1234, 0}, {}, {}},
        // Header: own colour when bit 15 is clear, red in the low bits; a MATERIAL= block too.
        {"header",
         std::string(
             "COLOR=\x0A\x14\x1E\xFF,MATERIAL=\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C"),
         {0x001F, 0x7C00, 0x8000 | 0x001F},
         {kRed, kBlue, 0},
         std::array<std::uint8_t, 4>{10, 20, 30, 255}},
        {"header black",
         "solid-looking but binary COLOR=\x01\x02\x03\x04",
         {0, 0x8000, 0x8000},
         {kBlack, 0, 0},
         std::array<std::uint8_t, 4>{1, 2, 3, 4}},
        {"header all object colour",
         "COLOR=abcd",
         {0x8000, 0x8000, 0xFFFF},
         {},
         std::array<std::uint8_t, 4>{'a', 'b', 'c', 'd'}},
        {"header colour cut off",
         std::string(74, ' ') + "COLOR=",
         {0x001F, 0x8000, 0x8000},
         {kRed, 0, 0},
         {}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Facet> facets;
        for (std::uint16_t a : c.attributes)
            facets.push_back({kTri, a});
        Put(dir.file("c.stl"), BinaryStl(c.header, facets));
        const FloatMesh m = ReadMesh(dir.file("c.stl"), Format::Stl);
        EXPECT_EQ(m.colors, c.colors);
        EXPECT_EQ(m.objectColor, c.objectColor);
        EXPECT_EQ(m.points.size(), 27u);  // 3 points a facet, not welded
    }
}

// Binary when the size matches the count, even with a "solid" header; else ASCII if it starts so.
TEST(MeshFormats, StlAsciiOrBinary) {
    TempDir dir;
    const std::string path = dir.file("d.stl");

    Put(path, BinaryStl("solid exported by a CAD program", {{kTri2, 0}}));
    FloatMesh m = ReadMesh(path, Format::Stl);
    EXPECT_EQ(m.points, std::vector<float>(kTri2.begin(), kTri2.end()));

    // Leading space, upper case, two solids, explicit signs and exponents.
    Put(path,
        "  \n SOLID one\nfacet normal 0 0 0\n outer loop\n  vertex +1 2e1 -3.5\n"
        "  VERTEX 0 0 0\n  vertex 1 1 1\n endloop\nendfacet\nendsolid one\n"
        "solid\nfacet normal 0 0 1 outer loop vertex 4 5 6 vertex 7 8 9 vertex 1 2 3 endloop "
        "endfacet endsolid");
    m = ReadMesh(path, Format::Stl);
    EXPECT_EQ(m.points,
              (std::vector<float>{1, 20, -3.5, 0, 0, 0, 1, 1, 1, 4, 5, 6, 7, 8, 9, 1, 2, 3}));
    EXPECT_EQ(m.indices, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5}));

    Put(path, "solid empty\nendsolid empty\n");
    EXPECT_TRUE(ReadMesh(path, Format::Stl).indices.empty());
}

TEST(MeshFormats, StlRefused) {
    const std::string oneFacet = BinaryStl("header", {{kTri, 0}});
    std::string nan = oneFacet;
    const float bad = std::numeric_limits<float>::quiet_NaN();
    std::memcpy(nan.data() + 84 + 12 + 4, &bad, 4);
    const std::string facet = "facet normal 0 0 1 outer loop vertex 0 0 0 vertex 1 0 0 ";
    const Refusal cases[] = {
        {"one byte too many", oneFacet + "x",
         "has 135 bytes, but its 1 triangles need 84 + 50 x 1 = 134"},
        {"short", "hello", "fewer than the 84"},
        {"empty", "", "fewer than the 84"},
        {"solid header, wrong size", BinaryStl("solid x", {{kTri, 0}}) + "xx",
         "need 84 + 50 x 1 = 134"},
        {"huge count", std::string(80, ' ') + "\xFF\xFF\xFF\xFF", "need 84 + 50"},
        {"nan", nan, "not a finite number"},
        {"ascii nan", "solid\n" + facet + "vertex nan 0 0 endloop endfacet endsolid", "finite"},
        {"ascii cut", "solid\n" + facet, "expected \"vertex\", found the end of the file"},
        {"ascii no endsolid", "solid\n" + facet + "vertex 0 1 0 endloop endfacet\n",
         "\"endsolid\", found the end"},
        {"ascii quad", "solid\n" + facet + "vertex 0 1 0 vertex 1 1 0 endloop endfacet endsolid",
         "expected \"endloop\", found \"vertex\""},
        {"ascii bad number", "solid\n" + facet + "vertex 0 1.2.3 0 endloop endfacet endsolid",
         "expected a number, found \"1.2.3\""},
        {"ascii junk", "solid\n" + facet + "vertex 0 1 0 \xC3\xBF endfacet endsolid",
         "found \"??\""},
        // Control bytes: not text, so a binary STL of the wrong size.
        {"text with control bytes", "solid\n" + facet + "\x01\x02", "fewer than the 84"},
    };
    ExpectRefused(cases, Format::Stl);
}

// Every prefix of a small file fails cleanly: no crash, no partial mesh reported as success.
TEST(MeshFormats, TruncatedFilesFail) {
    WriteOptions options;
    options.colors = true;
    const FloatMesh mesh = Sample({kRed, 0, kMixed, kBlack});
    TempDir dir;
    for (Format format : {Format::Stl, Format::Ply}) {
        const std::string whole = Written(mesh, format, options);
        const std::string path = dir.file("t");
        for (std::size_t n = 0; n < whole.size(); ++n) {
            Put(path, std::string_view(whole).substr(0, n));
            EXPECT_NE(ReadError(path, format), "<no error>") << "prefix " << n;
        }
        Put(path, whole);
        EXPECT_EQ(ReadMesh(path, format).indices.size(), mesh.indices.size());
    }
}

// Files larger than the 1 MiB read buffer, so that records and words straddle its refills.
TEST(MeshFormats, FilesLargerThanTheReadBuffer) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coordinate(-1000, 1000);
    std::uniform_int_distribution<int> exponent(-6, 3);
    FloatMesh mesh;
    for (int i = 0; i < 3 * 35000; ++i)
        mesh.points.push_back(coordinate(rng) * std::pow(10.0f, static_cast<float>(exponent(rng))));
    for (int i = 0; i < 3 * 40000; ++i)
        mesh.indices.push_back(static_cast<std::uint32_t>(rng() % 35000));
    for (int i = 0; i < 40000; ++i)
        mesh.colors.push_back(i % 5 ? static_cast<std::uint16_t>(0x8000 | rng()) : 0);

    // ASCII PLY as another program writes it: 9 significant digits.
    std::ostringstream ply;
    ply << "ply\nformat ascii 1.0\nelement vertex 35000\nproperty float x\nproperty float y\n"
           "property float z\nelement face 40000\nproperty list uchar int vertex_indices\n"
           "end_header\n";
    ply.precision(9);
    for (std::size_t i = 0; i < mesh.points.size(); i += 3)
        ply << mesh.points[i] << ' ' << mesh.points[i + 1] << ' ' << mesh.points[i + 2] << '\n';
    for (std::size_t t = 0; t < mesh.indices.size(); t += 3)
        ply << "3 " << mesh.indices[t] << ' ' << mesh.indices[t + 1] << ' ' << mesh.indices[t + 2]
            << '\n';
    FloatMesh uncolored = mesh;
    uncolored.colors.clear();
    FloatMesh fewer = uncolored;  // for ASCII STL, which needs ~270 bytes a triangle
    fewer.indices.resize(3 * 5000);

    TempDir dir;
    WriteOptions colors, ascii, asciiColors;
    colors.colors = true;
    ascii.ascii = true;
    asciiColors.ascii = true;
    asciiColors.colors = true;
    const struct {
        Format format;
        std::string bytes;
        const FloatMesh& expected;
    } cases[] = {
        {Format::Stl, Written(mesh, Format::Stl, colors), mesh},
        {Format::Stl, Written(fewer, Format::Stl, ascii), fewer},
        {Format::Ply, Written(mesh, Format::Ply, colors), mesh},
        {Format::Ply, ply.str(), uncolored},
        {Format::Ply, Written(mesh, Format::Ply, asciiColors), mesh},
        {Format::Obj, Written(uncolored, Format::Obj, {}), uncolored},
    };
    for (const auto& c : cases) {
        ASSERT_GT(c.bytes.size(), std::size_t{1} << 20);
        Put(dir.file("big"), c.bytes);
        EXPECT_TRUE(Soup(ReadMesh(dir.file("big"), c.format), false) == Soup(c.expected, false));
    }
}

// The same mesh, two ways: ASCII with comments, an element before the vertices, extra
// properties and lists, a quad, a triangle and a pentagon; big-endian binary with other types,
// the "vertex_index" name and an element after the faces.
TEST(MeshFormats, PlyFixtures) {
    const std::string ascii =
        "ply\r\nformat ascii 1.0\r\ncomment made by hand\nobj_info nothing\n"
        "element material 2\nproperty list uchar float weights\nproperty uchar id\n"
        "element vertex 5\nproperty double x\nproperty float y\nproperty float z\n"
        "property list uchar int extras\nproperty float confidence\n"
        "element face 3\nproperty uchar red\nproperty list uchar int vertex_indices\n"
        "property uchar green\nproperty uchar blue\nproperty float quality\n"
        "element nothing 18446744073709551615\n"
        "end_header\n"
        "3 0.5 1 2 7\n0 9\n"
        "0 0 0 0 0.5\n1 0 0 1 7 0.5\n1 1 0 0 0.5\n0 1 0 2 1 2 0.5\n0.5 0.5 1 0 0.5\n"
        "255 4 0 1 2 3 0 0 1.5\n100 3 0 1 4 200 50 0\n0 5 0 1 2 3 4 0 255 0\n";

    Bin be(true);
    be("ply\nformat binary_big_endian 1.0\nelement vertex 5\nproperty float64 x\n"
       "property short extra\nproperty double y\nproperty double z\n"
       "element face 3\nproperty list ushort uint vertex_index\nproperty uint8 red\n"
       "property uint8 green\nproperty uint8 blue\n"
       "element edge 1\nproperty list uchar int ends\nproperty int weight\nend_header\n");
    const double xyz[5][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0.5, 0.5, 1}};
    for (const auto& p : xyz)
        be(p[0])(std::int16_t{-7})(p[1])(p[2]);
    be(std::uint16_t{4})(0u)(1u)(2u)(3u)(std::uint8_t{255})(std::uint8_t{0})(std::uint8_t{0});
    be(std::uint16_t{3})(0u)(1u)(4u)(std::uint8_t{100})(std::uint8_t{200})(std::uint8_t{50});
    be(std::uint16_t{5})(0u)(1u)(2u)(3u)(4u)(std::uint8_t{0})(std::uint8_t{0})(std::uint8_t{255});
    be(std::uint8_t{2})(1)(2)(99);

    TempDir dir;
    for (const std::string* file : {&ascii, &be.str()}) {
        Put(dir.file("f.ply"), *file);
        const FloatMesh m = ReadMesh(dir.file("f.ply"), Format::Ply);
        EXPECT_EQ(m.points, (std::vector<float>{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0.5, 0.5, 1}));
        EXPECT_EQ(m.indices, (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3, 0, 1, 4, 0, 1, 2, 0, 2,
                                                         3, 0, 3, 4}));
        // 8-bit channels rounded to 5 bits: 100, 200, 50 -> 12, 24, 6.
        EXPECT_EQ(m.colors, (std::vector<std::uint16_t>{kRed, kRed, 0x8000 | 12 << 10 | 24 << 5 | 6,
                                                        kBlue, kBlue, kBlue}));
    }
}

TEST(MeshFormats, PlyWriterHeader) {
    WriteOptions options;
    options.colors = true;
    const std::string all = Written(Sample({kRed, kRed, kRed, kRed}), Format::Ply, options);
    const std::string some = Written(Sample({kRed, 0, kRed, kRed}), Format::Ply, options);
    EXPECT_NE(all.find("property list uchar int vertex_indices\nproperty uchar red\n"),
              std::string::npos);
    EXPECT_EQ(all.find("alpha"), std::string::npos);  // only needed for uncoloured faces
    EXPECT_NE(some.find("property uchar alpha\nend_header\n"), std::string::npos);

    // ASCII: the same header but for the format line, and the alpha of uncoloured faces.
    options.ascii = true;
    const std::string ascii = Written(Sample({kRed, 0, kRed, kRed}), Format::Ply, options);
    auto header = [](std::string text, const char* format) {
        text = text.substr(0, text.find("end_header\n"));
        const auto at = text.find(format);
        return at == std::string::npos ? std::string("<no format line>")
                                       : text.erase(at, std::strlen(format));
    };
    EXPECT_EQ(header(ascii, "format ascii 1.0\n"),
              header(some, "format binary_little_endian 1.0\n"));
    EXPECT_NE(ascii.find("end_header\n0.1 -2.5e-07 12345.678\n"), std::string::npos);
    EXPECT_NE(ascii.find("\n3 0 2 3 128 128 128 0\n"), std::string::npos);
}

TEST(MeshFormats, PlyRefused) {
    const std::string asciiHead = "ply\nformat ascii 1.0\n";
    const std::string triangle =
        "element vertex 3\nproperty float x\nproperty float y\n"
        "property float z\nelement face 1\n"
        "property list uchar int vertex_indices\n";
    const std::string points = "0 0 0\n1 0 0\n0 1 0\n";
    std::string huge =
        "ply\nformat binary_little_endian 1.0\nelement vertex 2147483648\n"
        "property float x\nproperty float y\nproperty float z\nend_header\n";
    huge.resize(200, '\0');
    const std::string little = "ply\nformat binary_little_endian 1.0\n" + triangle + "end_header\n";
    std::string longComments;
    for (int i = 0; i < 10; ++i)
        longComments += "comment " + std::string(7000, 'y') + "\n";
    const Refusal cases[] = {
        {"2^31 vertices, binary", huge, "claims 2147483648 entries"},
        {"2^31 vertices, ascii",
         asciiHead + "element vertex 2147483648\nproperty float x\nproperty float y\n"
                     "property float z\nend_header\n0 0 0\n",
         "claims 2147483648"},
        {"2^32 vertices",
         asciiHead + "element vertex 4294967296\nproperty float x\n"
                     "property float y\nproperty float z\nend_header\n",
         "more than 2^32 - 1 vertices"},
        {"index out of range", asciiHead + triangle + "end_header\n" + points + "3 0 1 3\n",
         "face index 3 out of range (3 vertices)"},
        {"negative index", asciiHead + triangle + "end_header\n" + points + "3 0 -1 2\n",
         "face index -1 out of range"},
        {"binary index out of range",
         Bin()(little)(0.f)(0.f)(0.f)(1.f)(0.f)(0.f)(0.f)(1.f)(0.f)(std::uint8_t{3})(0)(1)(-5)
             .str(),
         "face index -5 out of range"},
        {"long list, binary", Bin()(little)(std::string(36, '\0'))(std::uint8_t{200})(0)(1).str(),
         "list count of 200, impossible"},
        {"long list, ascii",
         asciiHead + "element vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
                     "element face 1\nproperty list uint int vertex_indices\nend_header\n"
                     "0 0 0\n4000000000 0 0 0\n",
         "list count of 4000000000"},
        {"data cut short", asciiHead + triangle + "end_header\n" + points + "3 0 1\n",
         "ends early"},
        {"no end_header", asciiHead + triangle, "no end_header"},
        {"not ply", "plx\n", "does not start with \"ply\""},
        {"unknown format", "ply\nformat binary_middle_endian 1.0\nend_header\n", "unknown format"},
        {"no format", "ply\n" + triangle + "end_header\n", "no format line"},
        {"unknown type", asciiHead + "element vertex 1\nproperty float128 x\nend_header\n",
         "unknown property type \"float128\""},
        {"float list count",
         asciiHead + "element vertex 1\nproperty list float int x\nend_header\n", "not an integer"},
        {"long header", asciiHead + longComments + "end_header\n", "longer than 64 KiB"},
        {"no z", asciiHead + "element vertex 1\nproperty float x\nproperty float y\nend_header\n",
         "lacks x, y or z"},
        {"no vertices", asciiHead + "element face 0\nend_header\n", "no vertex element"},
        {"two vertex elements",
         asciiHead + triangle + "element vertex 1\nproperty float x\nend_header\n",
         "two \"vertex\" elements"},
        {"faces without indices",
         asciiHead + "element vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
                     "element face 1\nproperty uchar red\nend_header\n",
         "no vertex_indices list"},
        {"scalar indices",
         asciiHead + "element vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
                     "element face 1\nproperty int vertex_indices\nend_header\n",
         "not one list of integers"},
        {"not a number", asciiHead + triangle + "end_header\n0 0 zero\n1 0 0\n0 1 0\n3 0 1 2\n",
         "not a number"},
        {"colour out of range",
         asciiHead + triangle + "property uchar red\nproperty uchar green\nproperty uchar blue\n" +
             "end_header\n" + points + "3 0 1 2 300 0 0\n",
         "not a number of its type"},
        {"infinite", asciiHead + triangle + "end_header\n0 0 inf\n1 0 0\n0 1 0\n3 0 1 2\n",
         "finite"},
        {"double too large for float",
         asciiHead + triangle + "end_header\n0 0 1e300\n1 0 0\n0 1 0\n3 0 1 2\n", "not a number"},
        {"token too long", asciiHead + triangle + "end_header\n" + std::string(2000, '1'),
         "longer than 1024"},
    };
    ExpectRefused(cases, Format::Ply);
}

// The 15-bit colour that 8-bit channels give (nearest 5-bit value each).
constexpr std::uint16_t Rgb(unsigned r, unsigned g, unsigned b) {
    return static_cast<std::uint16_t>(0x8000 | (r * 31 + 127) / 255 << 10 |
                                      (g * 31 + 127) / 255 << 5 | (b * 31 + 127) / 255);
}
constexpr std::uint16_t kGreen = Rgb(0, 255, 0);

std::string AllWarnings(const FloatMesh& m) {
    std::string out;
    for (const std::string& w : m.warnings)
        out += "[" + w + "] ";
    return out;
}

// Some warning contains `part` (an empty `part`: there is no warning at all).
void ExpectWarning(const FloatMesh& m, std::string_view part) {
    if (part.empty()) {
        EXPECT_TRUE(m.warnings.empty()) << AllWarnings(m);
        return;
    }
    EXPECT_TRUE(std::any_of(m.warnings.begin(), m.warnings.end(),
                            [&](const std::string& w) { return w.find(part) != w.npos; }))
        << "no warning with \"" << part << "\" in " << AllWarnings(m);
}

// A file to write before reading, and what reading it must give.
struct ColorCase {
    const char* name;
    std::string bytes;
    std::vector<std::uint16_t> colors;  // per triangle; empty: none
    const char* warning;                // part of a warning; "": no warning at all
};

void ExpectColors(const ColorCase& c, const TempDir& dir, const std::string& file, Format format) {
    SCOPED_TRACE(c.name);
    Put(dir.file(file), c.bytes);
    const FloatMesh m = ReadMesh(dir.file(file), format);
    EXPECT_EQ(m.colors, c.colors);
    ExpectWarning(m, c.warning);
}

// Four corners of a square; faces of a triangle and the whole square (3 triangles in all).
const std::string kCorners[4] = {"0 0 0", "1 0 0", "1 1 0", "0 1 0"};

std::string AsciiPly(const std::string& vertexProperties, const std::array<std::string, 4>& extra,
                     const std::string& faceProperties, const std::string& faces) {
    std::string out =
        "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
        "property float z\n" +
        vertexProperties + "element face 2\nproperty list uchar int vertex_indices\n" +
        faceProperties + "end_header\n";
    for (int i = 0; i < 4; ++i)
        out += kCorners[i] + " " + extra[i] + "\n";
    return out + faces;
}

// Vertex colours are averaged over the corners of each face; face colours win over them.
TEST(MeshFormats, PlyColors) {
    const std::string uchars = "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    const std::array<std::string, 4> primaries = {"255 0 0", "0 255 0", "0 0 255", "255 255 255"};
    const std::string square = "3 0 1 2\n4 0 1 2 3\n";
    // (255 + 0 + 0) / 3 = 85 on the triangle; (255 + 0 + 0 + 255) / 4 = 127.5 -> 128 on the square.
    const std::vector<std::uint16_t> averaged = {Rgb(85, 85, 85), Rgb(128, 128, 128),
                                                 Rgb(128, 128, 128)};
    Bin binary;
    binary(
        "ply\nformat binary_little_endian 1.0\nelement vertex 4\nproperty float x\n"
        "property float y\nproperty float z\nproperty double r\nproperty double g\n"
        "property double b\nelement face 2\nproperty list uchar uint vertex_indices\n"
        "end_header\n");
    const float xyz[4][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    const double rgb[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    for (int i = 0; i < 4; ++i)
        binary(xyz[i][0])(xyz[i][1])(xyz[i][2])(rgb[i][0])(rgb[i][1])(rgb[i][2]);
    binary(std::uint8_t{3})(0u)(1u)(2u)(std::uint8_t{4})(0u)(1u)(2u)(3u);

    const ColorCase cases[] = {
        {"vertex uchar", AsciiPly(uchars, primaries, "", square), averaged, "averaged"},
        {"vertex float r g b, alpha ignored",
         AsciiPly("property float r\nproperty float g\nproperty float b\nproperty float alpha\n",
                  {"1 0 0 0", "0 1.0 0 1", "0 0 1 0.5", "1 1 1 0"}, "", square),
         averaged, "averaged over each face's corners"},
        {"vertex double, binary", binary.str(), averaged, "averaged"},
        {"face beats vertex",
         AsciiPly(uchars, primaries, uchars, "3 0 1 2 255 0 0\n4 0 1 2 3 0 0 255\n"),
         {kRed, kBlue, kBlue},
         "vertex colours of 4 vertices ignored: the faces have colours"},
        {"face float, alpha 0 is no colour",
         AsciiPly("", {},
                  "property float red\nproperty float green\nproperty float blue\n"
                  "property uchar alpha\n",
                  "3 0 1 2 0 1 0 255\n4 0 1 2 3 1 0 0 0\n"),
         {kGreen, 0, 0},
         ""},
        {"vertex colours of a type not read",
         AsciiPly("property ushort red\nproperty ushort green\nproperty ushort blue\n", primaries,
                  "", square),
         {},
         "vertex colours of 4 vertices ignored: red, green and blue must"},
        {"face colours without blue",
         AsciiPly("", {}, "property uchar red\nproperty uchar green\n",
                  "3 0 1 2 1 2\n4 0 1 2 3 1 2\n"),
         {},
         "face colours of 2 faces ignored"},
    };
    TempDir dir;
    for (const ColorCase& c : cases)
        ExpectColors(c, dir, "c.ply", Format::Ply);
}

// A material's Kd gives its faces a colour, whatever the material is called; faces before the
// first usemtl, under kvx_none, or with a material without Kd have none.
TEST(MeshFormats, ObjColors) {
    const std::string v = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";
    struct Case {
        ColorCase expected;
        std::vector<std::pair<std::string, std::string>> libraries;  // file name, text
    };
    const Case cases[] = {
        {{"any material name",
          "mtllib m.mtl\n" + v +
              "usemtl Paint Red\nf 1 2 3\nusemtl blue\nf 1 3 4\nusemtl kvx_none\nf 1 2 4\n"
              "usemtl kvx_00ff00\nf 2 3 4\n",
          {kRed, kBlue, 0, Rgb(0, 204, 0)},
          ""},
         {{"m.mtl",
           "# made by hand\nnewmtl Paint Red\nKd 1 0 0\nnewmtl blue\nKa 1 1 1\nKd 0 0 1\n"
           "newmtl kvx_none\nKd 0.5 0.5 0.5\nnewmtl kvx_00ff00\nKd 0 0.8 0\n"}}},
        // The last material of the library must not leak onto faces that have none.
        {{"no material, no Kd, undefined",
          "mtllib m.mtl\n" + v +
              "f 1 2 3\nusemtl shiny\nf 1 3 4\nusemtl ghost\nf 1 2 4\nusemtl red\nf 2 3 4\n",
          {0, 0, 0, kRed},
          "the material libraries do not define 1 material that faces use"},
         {{"m.mtl", "newmtl shiny\nNs 10\nnewmtl red\nKd 1 0 0\n"}}},
        {{"Kd with one value, and not as r g b",
          "mtllib m.mtl\n" + v + "usemtl grey\nf 1 2 3\nusemtl spectral\nf 1 3 4\n",
          {Rgb(128, 128, 128), 0},
          "diffuse colours of 1 material ignored: not given as r g b"},
         {{"m.mtl", "newmtl grey\nKd 0.5\nnewmtl spectral\nKd spectral red.rfl 1\n"}}},
        {{"two libraries, one named with a space",
          "mtllib a.mtl b.mtl\nmtllib my colours.mtl\n" + v +
              "usemtl a\nf 1 2 3\nusemtl b\nf 1 3 4\nusemtl c\nf 1 2 4\n",
          {kRed, kBlue, kGreen},
          ""},
         {{"a.mtl", "newmtl a\nKd 1 0 0\n"},
          {"b.mtl", "newmtl b\nKd 0 0 1\n"},
          {"my colours.mtl", "newmtl c\nKd 0 1 0\n"}}},
        {{"missing library",
          "mtllib gone.mtl\n" + v + "usemtl kvx_ff0000\nf 1 2 3\n",
          {},
          "the material library \"gone.mtl\" is missing"},
         {}},
        {{"several missing libraries, one found under two names",
          "mtllib a.mtl ./a.mtl gone1.mtl\nmtllib gone2.mtl gone1.mtl\n" + v +
              "usemtl a\nf 1 2 3\n",
          {kRed},
          "2 material libraries are missing (\"gone1.mtl\", \"gone2.mtl\"): their materials "
          "give no colours"},
         {{"a.mtl", "newmtl a\nKd 1 0 0\n"}}},
        {{"vertex colours where the material gives none",
          "mtllib m.mtl\nv 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 1 1 0 0 0 1\nv 0 1 0 1 1 1\n"
          "f 1 2 3\nusemtl red\nf 1 3 4\n",
          {Rgb(85, 85, 85), kRed},
          "vertex colours averaged over each face's corners into colours for the faces whose "
          "material gives none"},
         {{"m.mtl", "newmtl red\nKd 1 0 0\n"}}},
        {{"texture map",
          "mtllib m.mtl\n" + v + "usemtl wood\nf 1 2 3\n",
          {kBlue},
          "diffuse texture maps of 1 material ignored"},
         {{"m.mtl", "newmtl wood\nKd 0 0 1\nmap_Kd wood.png\n"}}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        for (const auto& [name, text] : c.libraries)
            Put(dir.file(name), text);
        ExpectColors(c.expected, dir, "c.obj", Format::Obj);
    }
}

// Face colours (3 or 4 components, integers 0-255 or numbers 0-1) and the COFF, NOFF and CNOFF
// variants; face colours win over the average of the vertex colours.
TEST(MeshFormats, OffColors) {
    const std::string v = "0 0 0\n1 0 0\n1 1 0\n0 1 0\n";
    const std::string coff =
        "COFF\n4 2 0\n0 0 0 255 0 0 255\n1 0 0 0 255 0 255\n"
        "1 1 0 0 0 255 255\n0 1 0 255 255 255 255\n";
    const ColorCase cases[] = {
        {"face integers",
         "OFF\n4 2 0\n" + v + "3 0 1 2 255 0 0\n3 0 2 3 0 0 255 255\n",
         {kRed, kBlue},
         ""},
        {"face numbers 0-1",
         "OFF\n4 2 0\n" + v + "3 0 1 2 1.0 0 0\n3 0 2 3 0 0 1 0.5\n",
         {kRed, kBlue},
         ""},
        {"some faces coloured", "OFF\n4 2 0\n" + v + "3 0 1 2\n3 0 2 3 0 255 0\n", {0, kGreen}, ""},
        {"COFF",
         coff + "3 0 1 2\n4 0 1 2 3\n",
         {Rgb(85, 85, 85), Rgb(128, 128, 128), Rgb(128, 128, 128)},
         "averaged"},
        {"COFF, a face colour wins",
         coff + "3 0 1 2 0 0 255\n3 0 2 3\n",
         {kBlue, Rgb(170, 85, 170)},
         "colours for the 1 face without a colour of their own"},
        {"COFF, every face coloured",
         coff + "3 0 1 2 0 0 255\n3 0 2 3 0 0 255\n",
         {kBlue, kBlue},
         "vertex colours of 4 vertices ignored: every face has a colour"},
        {"NOFF", "NOFF 3 1 0\n0 0 0 0 0 1\n1 0 0 0 0 1\n0 1 0 0 0 1\n3 0 1 2\n", {}, ""},
        {"CNOFF",
         "CNOFF 3 1 0\n0 0 0 0 0 1 255 0 0\n1 0 0 0 0 1 255 0 0 255\n0 1 0 0 0 1 1.0 0 0 1\n3 0 1 "
         "2\n",
         {kRed},
         "averaged"},
        {"NCOFF",
         "NCOFF 3 1 0\n0 0 0 0 0 1 0 0 1.0\n1 0 0 0 0 1 0 0 1. 1\n0 1 0 0 0 1 0 0 1e0 1\n"
         "3 0 1 2\n",
         {kBlue},
         "averaged"},
        {"colour-map index",
         "OFF\n4 2 0\n" + v + "3 0 1 2 7\n3 0 2 3\n",
         {},
         "colours of 1 face ignored: not 3 or 4 components"},
    };
    TempDir dir;
    for (const ColorCase& c : cases)
        ExpectColors(c, dir, "c.off", Format::Off);
}

TEST(MeshFormats, OffFixture) {
    // Comments, counts on the header line, a quad as a fan, a two-corner face left out.
    TempDir dir;
    Put(dir.file("q.off"),
        "# made by hand\nOFF 5 3 0\n0 0 0\n1 0 0\n1 1 0 # corner\n0 1 0\n\n9 9 9\n"
        "4 0 1 2 3\n3 0 1 4 255 0 0\n2 0 1\n");
    const FloatMesh m = ReadMesh(dir.file("q.off"), Format::Off);
    EXPECT_EQ(m.points.size(), 15u);
    EXPECT_EQ(m.indices, (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3, 0, 1, 4}));
    EXPECT_EQ(m.colors, (std::vector<std::uint16_t>{0, 0, kRed}));
    ExpectWarning(m, "1 face with fewer than 3 vertices left out");
}

// Hostile or broken OFF files are refused with a reason, before anything large is allocated.
TEST(MeshFormats, OffRefused) {
    const Refusal cases[] = {
        {"huge face count", "OFF\n4 10000000000000000000 0\n0 0 0\n", "cannot fit"},
        {"huge vertex count", "OFF\n3000000000 1 0\n0 0 0\n", "cannot fit"},
        {"index out of range", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n", "names vertex 3 of 3"},
        {"short face", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n4 0 1 2\n", "fewer vertices than it says"},
        {"not a number", "OFF\n3 1 0\n0 0 0\n1 0 x\n0 1 0\n3 0 1 2\n", "'x' is not a number"},
        {"cut short", "OFF\n1 1 0\n0 0 0\n", "truncated"},
        {"not OFF", "PLY\n3 1 0\n", "does not start with \"OFF\""},
        {"4OFF", "4OFF\n1 0 0\n0 0 0 1\n", "the variant \"4OFF\" is not read"},
        {"nOFF", "nOFF\n2\n1 0 0\n0 0\n", "the variant \"nOFF\" is not read"},
        {"STOFF", "STOFF\n1 0 0\n0 0 0 0 0\n", "the variant \"STOFF\" is not read"},
        {"binary", "OFF BINARY\n", "binary OFF is not read"},
        {"COFF vertex without colour", "COFF\n3 1 0\n0 0 0\n1 0 0 1 1 1\n0 1 0 1 1 1\n3 0 1 2\n",
         "vertex 0 has fewer than 6 values"},
        {"NOFF vertex without normal", "NOFF\n3 1 0\n0 0 0 1\n1 0 0 0 0 1\n0 1 0 0 0 1\n3 0 1 2\n",
         "vertex 0 has fewer than 6"},
        {"colour above 255", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2 300 0 0\n",
         "face 0 has a colour component 300 outside 0-255"},
        {"colour not a number", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2 0.5 red 0\n",
         "colour 'red' is not a number"},
    };
    ExpectRefused(cases, Format::Off);
}

// OBJ: polygons as fans, relative and forward references, continued lines, comments; what is left
// out is a warning.
TEST(MeshFormats, ObjFixture) {
    TempDir dir;
    Put(dir.file("a.obj"),
        "\xEF\xBB\xBF# made by hand\nf 1/1 2//3 \\\n  3/4/5 4\nv 0 0 0 1\nv 1 0 0\nv 1 1 0\r\n"
        "v 0 1 0 # a comment\nvt 0 0\nvn 0 0 1\ns off\nf -4 -3 -1\nf 1 2\nl 1 2 3\np 1\n"
        "curv 0 1 1 2\n");
    const FloatMesh m = ReadMesh(dir.file("a.obj"), Format::Obj);
    EXPECT_EQ(m.points, (std::vector<float>{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}));
    EXPECT_EQ(m.indices, (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3, 0, 1, 3}));
    EXPECT_TRUE(m.colors.empty());
    EXPECT_TRUE(m.groups.empty());
    for (const char* w : {"1 face with fewer than 3 vertices left out", "1 line left out",
                          "1 point element left out", "1 free-form curve or surface left out"})
        ExpectWarning(m, w);
}

TEST(MeshFormats, ObjRefused) {
    const std::string v = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    const Refusal cases[] = {
        {"index 0", v + "f 1 2 0\n", "OBJ: line 4: the face corner '0' is not a vertex number"},
        {"not a number", v + "f 1 2 x/1\n", "the face corner 'x/1' is not a vertex number"},
        {"out of range", v + "f 1 2 9\n", "a face names vertex 9, but the file has 3 vertices"},
        {"relative out of range", v + "f -4 1 2\n", "the face corner -4 names no vertex"},
        {"short vertex", "v 1 2\n", "OBJ: line 1: a vertex needs x, y and z"},
        {"bad coordinate", "v 1 x 2\n", "the coordinate 'x' is not a number"},
        {"infinite", "v 1 inf 2\nf 1 1 1\n", "finite"},
        {"bad vertex colour", "v 1 2 3 0 red 0\n", "the colour component 'red' is not a number"},
        {"long line", "# " + std::string(70000, 'x') + "\n", "a line longer than 65536"},
        {"long continued line", std::string(40000, ' ') + "\\\n" + std::string(40000, ' ') + "\n",
         "continued"},
    };
    ExpectRefused(cases, Format::Obj);
}

// "o" and "g" start groups in file order; ASCII STL solids are groups; one part gives none.
TEST(MeshFormats, Groups) {
    struct Case {
        const char* name;
        Format format;
        std::string text;
        std::vector<MeshGroup> groups;
    };
    const std::string v = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";
    const std::string facet =
        "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\n"
        "endfacet\n";
    const Case cases[] = {
        {"obj o and g",
         Format::Obj,
         v + "f 1 2 3\no first\nf 1 2 3 4\ng\no empty\ng second part\nf 1 3 4\no first\nf 1 2 4\n",
         {{"", 0, 1}, {"first", 1, 2}, {"second part", 3, 1}, {"first", 4, 1}}},
        {"obj one part", Format::Obj, v + "g a\no b\nf 1 2 3\nf 1 3 4\n", {}},
        {"obj no parts", Format::Obj, v + "f 1 2 3\nf 1 3 4\n", {}},
        {"stl solids",
         Format::Stl,
         "solid one\n" + facet + "endsolid one\nsolid empty\nendsolid\nsolid   spaced name \r\n" +
             facet + facet + "endsolid spaced name\n",
         {{"one", 0, 1}, {"spaced name", 1, 2}}},
        {"stl one solid", Format::Stl, "solid one\n" + facet + facet + "endsolid one\n", {}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put(dir.file("g"), c.text);
        const FloatMesh m = ReadMesh(dir.file("g"), c.format);
        ASSERT_EQ(m.groups.size(), c.groups.size());
        for (std::size_t g = 0; g < c.groups.size(); ++g) {
            EXPECT_EQ(m.groups[g].name, c.groups[g].name);
            EXPECT_EQ(m.groups[g].firstTriangle, c.groups[g].firstTriangle);
            EXPECT_EQ(m.groups[g].triangleCount, c.groups[g].triangleCount);
        }
    }
    // Colours stay with their triangles.
    Put(dir.file("m.mtl"), "newmtl red\nKd 1 0 0\n");
    Put(dir.file("c.obj"), "mtllib m.mtl\n" + v + "o a\nf 1 2 3\nusemtl red\no b\nf 1 3 4\n");
    const FloatMesh m = ReadMesh(dir.file("c.obj"), Format::Obj);
    EXPECT_EQ(m.colors, (std::vector<std::uint16_t>{0, kRed}));
    ASSERT_EQ(m.groups.size(), 2u);
    EXPECT_EQ(m.groups[1].name, "b");
}

// Counts in warnings have thousands separators and the right plural.
TEST(MeshFormats, WarningWording) {
    auto twoCornerFaces = [](int n) {
        std::string text = "OFF\n3 " + std::to_string(n + 1) + " 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
        for (int i = 0; i < n; ++i)
            text += "2 0 1\n";
        return text;
    };
    const struct {
        Format format;
        std::string text;
        const char* warning;
    } cases[] = {
        {Format::Off, twoCornerFaces(1), "1 face with fewer than 3 vertices left out"},
        {Format::Off, twoCornerFaces(1234), "1,234 faces with fewer than 3 vertices left out"},
        {Format::Ply,
         "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
         "property float z\nend_header\n1 2 3\n",
         "the file has 1 point and no faces"},
        {Format::Obj, "v 0 0 0\nv 1 0 0\nl 1 2\nl 2 1\n", "the file has 2 points and no faces"},
        {Format::Obj, "v 0 0 0\nv 1 0 0\nl 1 2\nl 2 1\n", "2 lines left out"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.warning);
        Put(dir.file("w"), c.text);
        const FloatMesh m = ReadMesh(dir.file("w"), c.format);
        EXPECT_NE(std::find(m.warnings.begin(), m.warnings.end(), c.warning), m.warnings.end())
            << AllWarnings(m);
    }
}

// Faces with fewer than 3 vertices carry no triangles; a point cloud has none at all.
TEST(MeshFormats, PlyWithoutTriangles) {
    TempDir dir;
    Put(dir.file("p.ply"),
        "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
        "property float z\nelement face 2\nproperty list uchar int vertex_indices\nend_header\n"
        "1 2 3\n4 5 6\n2 0 1\n0\n");
    const FloatMesh m = ReadMesh(dir.file("p.ply"), Format::Ply);
    EXPECT_EQ(m.points, (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(m.indices.empty());
    EXPECT_EQ(m.warnings, (std::vector<std::string>{"2 faces with fewer than 3 vertices left out",
                                                    "the file has 2 points and no faces"}));
}

// Each message names its format once (no "OBJ: OBJ: ...").
TEST(MeshFormats, ErrorPrefixOnce) {
    const struct {
        Format format;
        std::string text;
        const char* prefix;
        const char* name;  // to count
    } cases[] = {
        {Format::Stl, "solid x\nfacet\n", "ASCII STL: ", "STL"},
        {Format::Stl, std::string(90, 'x'), "binary STL: ", "STL"},
        {Format::Ply, "ply\nformat ascii 1.0\nend_header\n", "PLY: ", "PLY"},
        {Format::Obj, "v 0 0 0\nf 1 1 0\n", "OBJ: line 2: ", "OBJ"},
        {Format::Obj, "v 0 0 0\nf 1 1 2\n", "OBJ: ", "OBJ"},
        {Format::Off, "OFF\n1 0 0\nx 0 0\n", "OFF: ", "OFF"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        Put(dir.file("e"), c.text);
        const std::string message = ReadError(dir.file("e"), c.format);
        EXPECT_EQ(message.rfind(c.prefix, 0), 0u) << message;
        std::size_t count = 0;
        for (auto at = message.find(c.name); at != std::string::npos;
             at = message.find(c.name, at + 1))
            ++count;
        EXPECT_EQ(count, 1u) << message;
    }
    for (Format format : {Format::Stl, Format::Ply, Format::Obj, Format::Off})
        EXPECT_EQ(ReadError(dir.file("none"), format).find(": cannot open the file"),
                  std::string_view(format == Format::Stl   ? "STL"
                                   : format == Format::Ply ? "PLY"
                                   : format == Format::Obj ? "OBJ"
                                                           : "OFF")
                      .size());
}

// Progress by bytes: from 0, at most once per MiB, ending with done == total; nothing final after
// a failure.
TEST(MeshFormats, Progress) {
    struct Call {
        std::uint64_t done, total;
    };
    std::vector<Call> calls;
    ReadOptions options;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        calls.push_back({done, total});
    };
    std::vector<Facet> facets(120000, Facet{kTri, 0});  // 6 MB
    FloatMesh small = Sample();
    const struct {
        Format format;
        std::string bytes;
    } cases[] = {
        {Format::Stl, BinaryStl("big", facets)},
        {Format::Stl, Written(small, Format::Stl, {})},
        {Format::Ply, Written(small, Format::Ply, {})},
        {Format::Obj, Written(small, Format::Obj, {})},
        {Format::Off, "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        Put(dir.file("p"), c.bytes);
        calls.clear();
        ReadMesh(dir.file("p"), c.format, options);
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls.front().done, 0u);
        EXPECT_EQ(calls.back().done, c.bytes.size());
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].total, c.bytes.size());
            if (i + 2 < calls.size()) {
                EXPECT_GE(calls[i + 1].done, calls[i].done + (1u << 20));
            }
        }
        EXPECT_LE(calls.size(), c.bytes.size() / (1u << 20) + 2);
    }
    EXPECT_GE(calls.size(), 2u);

    Put(dir.file("cut.stl"), "solid x\nfacet normal 0 0 1\n");
    calls.clear();
    ReadError(dir.file("cut.stl"), Format::Stl);
    for (const Call& c : calls)
        EXPECT_LT(c.done, c.total);
}

// While alive, a reader blocked opening the FIFO with no writer is set free (by opening the write
// end), so that a reader that blocks fails the test instead of hanging it.
class FifoWatchdog {
public:
    explicit FifoWatchdog(std::string fifo) : fifo_(std::move(fifo)), thread_([this] { Run(); }) {}
    ~FifoWatchdog() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    bool Fired() const { return fired_; }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::seconds(2), [this] { return stop_; })) return;
        while (!stop_) {
            // Succeeds only while some reader has the FIFO open (or is blocked opening it).
            const int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                fired_ = true;
                ::close(fd);
            }
            wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stop_; });
        }
    }
    std::string fifo_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<bool> fired_ = false;
    std::thread thread_;
};

TEST(MeshFormats, NotRegularFiles) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (Format format : {Format::Stl, Format::Ply, Format::Obj, Format::Off}) {
        EXPECT_NE(ReadError(dir.path(), format).find("not a regular file"), std::string::npos);
        EXPECT_NE(ReadError(dir.file("none"), format).find("cannot open"), std::string::npos);
        FifoWatchdog watchdog(fifo);
        EXPECT_NE(ReadError(fifo, format).find("not a regular file"), std::string::npos);
        EXPECT_FALSE(watchdog.Fired()) << "reading blocked on the FIFO";
    }
    // A library that is a FIFO is not opened either.
    Put(dir.file("a.obj"), "mtllib fifo\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl red\nf 1 2 3\n");
    FifoWatchdog watchdog(fifo);
    const FloatMesh m = ReadMesh(dir.file("a.obj"), Format::Obj);
    EXPECT_FALSE(watchdog.Fired());
    EXPECT_TRUE(m.colors.empty());
    ExpectWarning(m, "the material library \"fifo\" cannot be read (not a regular file)");
}

TEST(MeshFormats, WriteRefused) {
    auto error = [](auto&& write) -> std::string {
        try {
            write();
        } catch (const MeshError& e) {
            return e.what();
        }
        return "<no error>";
    };
    FloatMesh outOfRange = Sample();
    outOfRange.indices[4] = 6;
    FloatMesh loosePoint = Sample();
    loosePoint.points.pop_back();
    FloatMesh fewColors = Sample({kRed});
    WriteOptions colors;
    colors.colors = true;
    std::ostringstream out;
    EXPECT_NE(error([&] { WriteMesh(out, outOfRange, Format::Ply, {}); }).find("out of range"),
              std::string::npos);
    EXPECT_NE(error([&] { WriteMesh(out, loosePoint, Format::Stl, {}); }).find("threes"),
              std::string::npos);
    EXPECT_NE(error([&] { WriteMesh(out, fewColors, Format::Obj, {}); }).find("colours"),
              std::string::npos);
    EXPECT_NE(error([&] { WriteMesh(out, Sample(), Format::Off, {}); }).find("OFF"),
              std::string::npos);
    EXPECT_NE(error([&] {
                  WriteMesh(out, Sample({kRed, 0, 0, 0}), Format::Obj, colors);
              }).find("material library"),
              std::string::npos);

    std::ostringstream failing;
    failing.setstate(std::ios::badbit);
    EXPECT_NE(error([&] { WriteMesh(failing, Sample(), Format::Stl, {}); }).find("stream"),
              std::string::npos);
}

}  // namespace
