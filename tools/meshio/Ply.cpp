// PLY, hand-written because general-purpose readers drop per-face colours. Reads ASCII and both
// binary encodings, with face or vertex colours; writes binary little-endian or ASCII.
#include <algorithm>
#include <limits>

#include "Detail.h"

namespace kvx::meshio::detail {
namespace {

constexpr std::size_t kMaxHeader = std::size_t{64} << 10;
static_assert(kMaxHeader < Input::kMinCapacity, "a header line must fit the input buffer");

enum class Type : std::uint8_t { Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };
enum class Encoding { Ascii, LittleEndian, BigEndian };
// What a property means to us; Skip for all we do not keep.
enum class Role : std::uint8_t { Skip, X, Y, Z, Indices, Red, Green, Blue, Alpha };

struct Property {
    std::string name;
    Type type;
    std::optional<Type> countType;  // set for lists
    Role role = Role::Skip;
};

struct Element {
    std::string name;
    std::uint64_t count;
    std::vector<Property> properties;
};

std::size_t SizeOf(Type t) {
    constexpr std::size_t sizes[] = {1, 1, 2, 2, 4, 4, 4, 8};
    return sizes[static_cast<int>(t)];
}

bool IsInteger(Type t) {
    return t != Type::Float32 && t != Type::Float64;
}

std::optional<Type> TypeNamed(std::string_view name) {
    static constexpr std::pair<std::string_view, Type> names[] = {
        {"char", Type::Int8},      {"int8", Type::Int8},       {"uchar", Type::UInt8},
        {"uint8", Type::UInt8},    {"short", Type::Int16},     {"int16", Type::Int16},
        {"ushort", Type::UInt16},  {"uint16", Type::UInt16},   {"int", Type::Int32},
        {"int32", Type::Int32},    {"uint", Type::UInt32},     {"uint32", Type::UInt32},
        {"float", Type::Float32},  {"float32", Type::Float32}, {"double", Type::Float64},
        {"float64", Type::Float64}};
    for (const auto& [n, t] : names)
        if (n == name) return t;
    return std::nullopt;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    for (;;) {
        const auto begin = line.find_first_not_of(" \t");
        if (begin == std::string_view::npos) return words;
        line.remove_prefix(begin);
        const auto end = std::min(line.find_first_of(" \t"), line.size());
        words.push_back(line.substr(0, end));
        line.remove_prefix(end);
    }
}

std::string Printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 40))
        out += c >= 0x20 && c < 0x7F ? c : '?';
    return out;
}

Type ParseType(std::string_view name) {
    const auto t = TypeNamed(name);
    if (!t) Fail("PLY: unknown property type \"" + Printable(name) + "\"");
    return *t;
}

struct Header {
    Encoding encoding;
    std::vector<Element> elements;
};

Header ReadHeader(Input& in) {
    if (in.Line(kMaxHeader) != "ply") Fail("PLY: the file does not start with \"ply\"");
    std::optional<Encoding> encoding;
    std::vector<Element> elements;
    for (;;) {
        if (in.Peek(1).empty()) Fail("PLY: the header has no end_header");
        const auto words = Words(in.Line(kMaxHeader));
        if (in.Position() > kMaxHeader) Fail("PLY: the header is longer than 64 KiB");
        if (words.empty() || words[0] == "comment" || words[0] == "obj_info") continue;
        const std::string_view key = words[0];
        if (key == "end_header" && words.size() == 1) break;
        if (key == "format" && words.size() == 3 && !encoding) {
            if (words[1] == "ascii")
                encoding = Encoding::Ascii;
            else if (words[1] == "binary_little_endian")
                encoding = Encoding::LittleEndian;
            else if (words[1] == "binary_big_endian")
                encoding = Encoding::BigEndian;
            else
                Fail("PLY: unknown format \"" + Printable(words[1]) + "\"");
            if (words[2] != "1.0") Fail("PLY: unknown version " + Printable(words[2]));
        } else if (key == "element" && words.size() == 3) {
            std::uint64_t count;
            if (!ParseNumber(words[2], count))
                Fail("PLY: bad element count \"" + Printable(words[2]) + "\"");
            elements.push_back({std::string(words[1]), count, {}});
        } else if (key == "property" && !elements.empty() &&
                   (words.size() == 3 || (words.size() == 5 && words[1] == "list"))) {
            Property p;
            p.name = words.back();
            p.type = ParseType(words[words.size() - 2]);
            if (words.size() == 5) {
                p.countType = ParseType(words[2]);
                if (!IsInteger(*p.countType)) Fail("PLY: a list count that is not an integer");
            }
            elements.back().properties.push_back(std::move(p));
        } else {
            Fail("PLY: unexpected header line \"" + Printable(key) + " ...\"");
        }
    }
    if (!encoding) Fail("PLY: the header has no format line");
    return {*encoding, std::move(elements)};
}

bool IsColorType(Type t) {
    return t == Type::UInt8 || t == Type::Float32 || t == Type::Float64;
}

enum class Colors { None, Usable, Unusable };

// Gives an element's red, green and blue (or r, g, b) and, with `alpha`, alpha (or a) their
// roles when all three are there as scalars of a type we read. Unusable: some are named, but not
// all three in such a type.
Colors AssignColors(Element& e, bool alpha) {
    static constexpr std::string_view names[4][2] = {
        {"red", "r"}, {"green", "g"}, {"blue", "b"}, {"alpha", "a"}};
    Property* found[4] = {};
    bool seen = false, bad = false;
    for (Property& p : e.properties) {
        if (p.role != Role::Skip) continue;
        for (int c = 0; c < 4; ++c) {
            if (p.name != names[c][0] && p.name != names[c][1]) continue;
            if (found[c]) break;  // a second red: skipped
            const bool usable = !p.countType && IsColorType(p.type);
            if (c < 3) {
                seen = true;
                bad |= !usable;
            }
            if (usable) found[c] = &p;
            break;
        }
    }
    if (!seen) return Colors::None;
    if (bad || !found[0] || !found[1] || !found[2]) return Colors::Unusable;
    for (int c = 0; c < (alpha ? 4 : 3); ++c)
        if (found[c]) found[c]->role = static_cast<Role>(static_cast<int>(Role::Red) + c);
    return Colors::Usable;
}

// What the elements give: the vertex count, which colours are read.
struct Plan {
    std::uint64_t vertices = 0;
    bool faceColors = false;
    bool vertexColors = false;  // averaged into face colours
};

// Gives the properties of the vertex and face elements their roles, and warns about colours
// that are there but not read.
Plan AssignRoles(std::vector<Element>& elements, std::vector<std::string>& warnings) {
    Element* vertex = nullptr;
    Element* face = nullptr;
    for (Element& e : elements) {
        Element** slot = e.name == "vertex" ? &vertex : e.name == "face" ? &face : nullptr;
        if (!slot) continue;
        if (*slot) Fail("PLY: two \"" + e.name + "\" elements");
        *slot = &e;
    }
    if (!vertex) Fail("PLY: no vertex element");
    if (vertex->count > std::numeric_limits<std::uint32_t>::max())
        Fail("PLY: more than 2^32 - 1 vertices");
    int axes = 0;
    for (Property& p : vertex->properties) {
        if (p.countType) continue;
        const int axis = p.name == "x" ? 0 : p.name == "y" ? 1 : p.name == "z" ? 2 : -1;
        if (axis < 0 || axes & 1 << axis) continue;
        axes |= 1 << axis;
        p.role = static_cast<Role>(static_cast<int>(Role::X) + axis);
    }
    if (axes != 7) Fail("PLY: the vertex element lacks x, y or z");
    Plan plan;
    plan.vertices = vertex->count;

    bool indices = false;
    if (face) {
        for (Property& p : face->properties) {
            if (p.name == "vertex_indices" || p.name == "vertex_index") {
                if (!p.countType || !IsInteger(p.type) || indices)
                    Fail("PLY: the face element's vertex_indices is not one list of integers");
                p.role = Role::Indices;
                indices = true;
            }
        }
        if (!indices) Fail("PLY: the face element has no vertex_indices list");
    }

    constexpr std::string_view kTypes =
        ": red, green and blue must all be there, each uchar, "
        "float or double";
    const Colors faceColors = face ? AssignColors(*face, true) : Colors::None;
    if (faceColors == Colors::Unusable && face->count > 0)
        warnings.push_back("face colours of " + Count(face->count, "face", "faces") + " ignored" +
                           std::string(kTypes));
    plan.faceColors = faceColors == Colors::Usable;

    const Colors vertexColors = AssignColors(*vertex, false);
    const std::string ignored =
        vertexColors == Colors::None || vertex->count == 0
            ? std::string()
            : "vertex colours of " + Count(vertex->count, "vertex", "vertices") + " ignored";
    const bool faces = face && face->count > 0;
    if (vertexColors == Colors::Unusable) {
        if (!ignored.empty()) warnings.push_back(ignored + std::string(kTypes));
    } else if (vertexColors == Colors::Usable && faces && !ignored.empty()) {
        if (plan.faceColors)
            warnings.push_back(ignored + ": the faces have colours of their own");
        else if (face < vertex)  // the element order of the file
            warnings.push_back(ignored + ": the vertex element comes after the faces");
        else
            plan.vertexColors = true;
    }
    if (plan.vertexColors)
        warnings.push_back("vertex colours averaged over each face's corners into face colours");
    else
        for (Property& p : vertex->properties)
            if (p.role >= Role::Red) p.role = Role::Skip;
    return plan;
}

// Values of the binary encodings.
template <typename T>
T Load(const std::uint8_t* p, bool bigEndian) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if ((std::endian::native == std::endian::big) != bigEndian) v = ByteSwap(v);
    return v;
}

class BinarySource {
public:
    BinarySource(Input& in, bool bigEndian) : in_(in), big_(bigEndian) {}
    // The fewest bytes a value of this type takes.
    static std::uint64_t MinSize(Type t) { return SizeOf(t); }
    double Number(Type t) {
        const std::uint8_t* p = in_.Take(SizeOf(t));
        switch (t) {
            case Type::Int8:
                return static_cast<std::int8_t>(*p);
            case Type::UInt8:
                return *p;
            case Type::Int16:
                return Load<std::int16_t>(p, big_);
            case Type::UInt16:
                return Load<std::uint16_t>(p, big_);
            case Type::Int32:
                return Load<std::int32_t>(p, big_);
            case Type::UInt32:
                return Load<std::uint32_t>(p, big_);
            case Type::Float32:
                return Load<float>(p, big_);
            case Type::Float64:
                return Load<double>(p, big_);
        }
        return 0;
    }
    float Coordinate(Type t) { return static_cast<float>(Number(t)); }
    // A colour channel, 0-255: uchar as it is, float and double from 0-1.
    unsigned Channel(Type t) {
        if (t == Type::UInt8) return *in_.Take(1);
        return Channel8(Number(t));
    }
    // Integer types only (checked by the header).
    std::int64_t Integer(Type t) { return static_cast<std::int64_t>(Number(t)); }
    void Skip(Type t, std::uint64_t n) {
        for (std::uint64_t bytes = n * SizeOf(t); bytes > 0;) {
            const auto step =
                static_cast<std::size_t>(std::min<std::uint64_t>(bytes, in_.Capacity()));
            in_.Take(step);
            bytes -= step;
        }
    }
    std::uint64_t Remaining() const { return in_.Remaining(); }

private:
    Input& in_;
    bool big_;
};

class AsciiSource {
public:
    explicit AsciiSource(Input& in) : in_(in) {}
    static std::uint64_t MinSize(Type) { return 1; }
    float Coordinate(Type) {
        float v;
        if (!ParseNumber(Next(), v)) Bad();
        return v;
    }
    // A colour channel, 0-255: uchar as it is (within its range), float and double from 0-1.
    unsigned Channel(Type t) {
        if (t == Type::UInt8) return static_cast<unsigned>(Integer(t));
        double v;
        if (!ParseNumber(Next(), v)) Bad();
        return Channel8(v);
    }
    // Integer types only (checked by the header), within the type's range.
    std::int64_t Integer(Type t) {
        static constexpr std::int64_t low[] = {-128, 0, -32768, 0, INT32_MIN, 0};
        static constexpr std::int64_t high[] = {127, 255, 32767, 65535, INT32_MAX, UINT32_MAX};
        std::int64_t v;
        const int i = static_cast<int>(t);
        if (!ParseNumber(Next(), v) || v < low[i] || v > high[i]) Bad();
        return v;
    }
    void Skip(Type, std::uint64_t n) {
        for (; n > 0; --n)
            Next();
    }
    std::uint64_t Remaining() const { return in_.Remaining(); }

private:
    std::string_view Next() {
        const std::string_view token = in_.Token();
        if (token.empty()) in_.Truncated();
        return token;
    }
    [[noreturn]] static void Bad() { Fail("PLY: a value that is not a number of its type"); }
    Input& in_;
};

class Reader {
public:
    explicit Reader(const Plan& plan) : plan_(plan) {}

    template <typename Source>
    void ReadElement(Source& source, const Element& e) {
        std::uint64_t minSize = 0;
        for (const Property& p : e.properties)
            minSize += Source::MinSize(p.countType.value_or(p.type));
        if (minSize == 0 || e.count == 0) return;  // nothing stored
        if (e.count > source.Remaining() / minSize)
            Fail("PLY: element \"" + Printable(e.name) + "\" claims " + std::to_string(e.count) +
                 " entries, more than the rest of the file can hold");
        const bool vertex = e.name == "vertex";
        const bool face = e.name == "face";
        const bool vertexColors = vertex && plan_.vertexColors;
        const bool faceColors = face && (plan_.faceColors || plan_.vertexColors);
        if (vertex) mesh_.points.resize(3 * e.count);
        if (vertexColors) vertexRgb_.resize(3 * e.count);
        if (face) mesh_.indices.reserve(3 * e.count);
        for (std::uint64_t i = 0; i < e.count; ++i) {
            unsigned rgba[4] = {0, 0, 0, 255};
            ColorSum corners;
            for (const Property& p : e.properties) {
                if (p.countType) {
                    const std::int64_t n = source.Integer(*p.countType);
                    if (n < 0 || static_cast<std::uint64_t>(n) >
                                     source.Remaining() / Source::MinSize(p.type))
                        Fail("PLY: a list count of " + std::to_string(n) +
                             ", impossible in the rest of the file");
                    if (p.role == Role::Indices)
                        ReadPolygon(source, p.type, static_cast<std::uint64_t>(n), corners);
                    else
                        source.Skip(p.type, static_cast<std::uint64_t>(n));
                } else if (p.role == Role::Skip) {
                    source.Skip(p.type, 1);
                } else if (p.role <= Role::Z) {
                    mesh_.points[3 * i + static_cast<int>(p.role) - static_cast<int>(Role::X)] =
                        source.Coordinate(p.type);
                } else {
                    rgba[static_cast<int>(p.role) - static_cast<int>(Role::Red)] =
                        source.Channel(p.type);
                }
            }
            if (vertexColors)
                for (int c = 0; c < 3; ++c)
                    vertexRgb_[3 * i + c] = static_cast<std::uint8_t>(rgba[c]);
            if (faceColors) {
                const std::uint16_t c = !plan_.faceColors ? corners.Average()
                                        : rgba[3] == 0    ? 0
                                                       : ColorFromRgb8(rgba[0], rgba[1], rgba[2]);
                mesh_.colors.resize(mesh_.indices.size() / 3, c);
            }
        }
    }

    FloatMesh Take() {
        if (fewCorners_ > 0)
            mesh_.warnings.push_back(Count(fewCorners_, "face", "faces") +
                                     " with fewer than 3 vertices left out");
        return std::move(mesh_);
    }
    std::vector<std::string>& Warnings() { return mesh_.warnings; }

private:
    // A polygon's indices, split into a fan of triangles; the colours of its corners summed
    // when vertex colours are read (the vertices come first then).
    template <typename Source>
    void ReadPolygon(Source& source, Type type, std::uint64_t n, ColorSum& corners) {
        Fan fan(mesh_.indices);
        for (std::uint64_t k = 0; k < n; ++k) {
            const std::int64_t v = source.Integer(type);
            if (v < 0 || static_cast<std::uint64_t>(v) >= plan_.vertices)
                Fail("PLY: face index " + std::to_string(v) + " out of range (" +
                     std::to_string(plan_.vertices) + " vertices)");
            const auto index = static_cast<std::uint32_t>(v);
            if (plan_.vertexColors) corners.Add(&vertexRgb_[3 * std::size_t{index}]);
            fan.Add(index);
        }
        if (n < 3) ++fewCorners_;
    }

    Plan plan_;
    FloatMesh mesh_;
    std::vector<std::uint8_t> vertexRgb_;  // 3 per vertex, when vertex colours are averaged
    std::uint64_t fewCorners_ = 0;
};

void WriteHeader(Output& out, const FloatMesh& mesh, bool ascii, bool colors, bool alpha) {
    out.Put(ascii ? "ply\nformat ascii 1.0\ncomment written by kvx\n"
                  : "ply\nformat binary_little_endian 1.0\ncomment written by kvx\n");
    out.Put("element vertex ");
    out.PutNumber(std::uint64_t{mesh.points.size() / 3});
    out.Put("\nproperty float x\nproperty float y\nproperty float z\nelement face ");
    out.PutNumber(std::uint64_t{mesh.indices.size() / 3});
    out.Put(mesh.points.size() / 3 > std::numeric_limits<std::int32_t>::max()
                ? "\nproperty list uchar uint vertex_indices\n"
                : "\nproperty list uchar int vertex_indices\n");
    if (colors) out.Put("property uchar red\nproperty uchar green\nproperty uchar blue\n");
    if (alpha) out.Put("property uchar alpha\n");
    out.Put("end_header\n");
}

}  // namespace

FloatMesh ReadPly(const std::filesystem::path& file, Progress& progress) {
    Input in(file, "PLY", &progress);
    Header header = ReadHeader(in);
    std::vector<std::string> warnings;
    const Plan plan = AssignRoles(header.elements, warnings);
    Reader reader(plan);
    reader.Warnings() = std::move(warnings);
    if (header.encoding == Encoding::Ascii) {
        AsciiSource source(in);
        for (const Element& e : header.elements)
            reader.ReadElement(source, e);
    } else {
        BinarySource source(in, header.encoding == Encoding::BigEndian);
        for (const Element& e : header.elements)
            reader.ReadElement(source, e);
    }
    return reader.Take();
}

void WritePly(std::ostream& stream, const FloatMesh& mesh, const WriteOptions& options) {
    const bool colors = options.colors && !mesh.colors.empty();
    const bool alpha = colors && std::any_of(mesh.colors.begin(), mesh.colors.end(),
                                             [](std::uint16_t c) { return !HasColor(c); });
    Output out(stream);
    WriteHeader(out, mesh, options.ascii, colors, alpha);
    const auto rgba = [&](std::size_t t) {
        const std::uint16_t c = mesh.colors[t];
        const auto rgb = HasColor(c) ? Rgb8FromColor(c) : kNeutralGrey;  // with alpha 0
        return std::array<std::uint8_t, 4>{rgb[0], rgb[1], rgb[2],
                                           static_cast<std::uint8_t>(HasColor(c) ? 255 : 0)};
    };
    const std::uint32_t* index = mesh.indices.data();
    if (options.ascii) {
        for (std::size_t i = 0; i < mesh.points.size(); i += 3) {
            for (int k = 0; k < 3; ++k) {
                if (k > 0) out.Put(' ');
                out.PutNumber(mesh.points[i + k]);
            }
            out.Put('\n');
            out.Flush();
        }
        for (std::size_t t = 0; t < mesh.indices.size() / 3; ++t, index += 3) {
            out.Put('3');
            for (int k = 0; k < 3; ++k) {
                out.Put(' ');
                out.PutNumber(std::uint64_t{index[k]});
            }
            if (colors) {
                const auto c = rgba(t);
                for (int k = 0; k < (alpha ? 4 : 3); ++k) {
                    out.Put(' ');
                    out.PutNumber(std::uint64_t{c[k]});
                }
            }
            out.Put('\n');
            out.Flush();
        }
    } else {
        for (std::size_t i = 0; i < mesh.points.size(); i += 3) {
            out.PutLE(mesh.points[i], mesh.points[i + 1], mesh.points[i + 2]);
            out.Flush();
        }
        for (std::size_t t = 0; t < mesh.indices.size() / 3; ++t, index += 3) {
            out.PutLE(std::uint8_t{3}, index[0], index[1], index[2]);
            if (colors) {
                const auto c = rgba(t);
                out.PutLE(c[0], c[1], c[2]);
                if (alpha) out.PutLE(c[3]);
            }
            out.Flush();
        }
    }
    out.Flush(true);
}

}  // namespace kvx::meshio::detail
