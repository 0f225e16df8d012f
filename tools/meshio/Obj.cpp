// OBJ and its material libraries, read and written by our own code. A general-purpose importer
// gives the faces before the first "usemtl" some other material, cannot tell a material's own
// diffuse colour from its default one, merges parts of the same name and parses numbers
// inexactly; here every face keeps the material and the group that the file gives it.
#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "Detail.h"

namespace kvx::meshio {
namespace {

// Our writer's materials: "kvx_RRGGBB" (8-bit hex) with that colour as Kd, and "kvx_none" for
// faces without a colour (its Kd is only for other programs to show).
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

// Longest line accepted, also after joining lines continued with "\".
constexpr std::size_t kMaxLine = std::size_t{64} << 10;
constexpr std::string_view kSpaces = " \t\r\v\f";

// The words of `line` into `words` (reused, so that reading allocates nothing per line).
void Split(std::string_view line, std::vector<std::string_view>& words) {
    words.clear();
    for (std::size_t at = 0;;) {
        at = line.find_first_not_of(kSpaces, at);
        if (at == std::string_view::npos) return;
        const std::size_t end = std::min(line.find_first_of(kSpaces, at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end;
    }
}

std::string_view Trim(std::string_view text) {
    const auto begin = text.find_first_not_of(kSpaces);
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(kSpaces) + 1 - begin);
}

// The text after the first word of a line, trimmed: a name that may hold spaces.
std::string_view AfterKeyword(std::string_view line, std::string_view keyword) {
    return Trim(line.substr(line.find(keyword) + keyword.size()));
}

std::string Shown(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 40))
        out += static_cast<unsigned char>(c) >= 0x20 && c != 0x7F ? c : '?';
    return out + (text.size() > 40 ? "..." : "");
}

// Lines of a text file without their "#" comments.
class Lines {
public:
    Lines(detail::Input& in, std::string_view format) : in_(in), format_(format) {}
    // The next line, with lines that end in "\" joined to it when `continued`; false at the end.
    bool Next(std::string_view& line, bool continued) {
        if (in_.Peek(1).empty()) return false;
        line = in_.Line(kMaxLine);
        ++number_;
        if (number_ == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);  // UTF-8 BOM
        if (continued && line.ends_with('\\')) {
            joined_.assign(line.substr(0, line.size() - 1));
            for (bool more = true; more && !in_.Peek(1).empty();) {
                std::string_view next = in_.Line(kMaxLine);
                ++number_;
                more = next.ends_with('\\');
                if (more) next.remove_suffix(1);
                joined_ += ' ';
                joined_ += next;
                if (joined_.size() > kMaxLine)
                    Fail("a line continued with \"\\\" to more than " + std::to_string(kMaxLine) +
                         " bytes");
            }
            line = joined_;
        }
        line = line.substr(0, line.find('#'));
        return true;
    }
    [[noreturn]] void Fail(const std::string& what) const {
        detail::Fail(std::string(format_) + ": line " + std::to_string(number_) + ": " + what);
    }

private:
    detail::Input& in_;
    std::string_view format_;
    std::uint64_t number_ = 0;
    std::string joined_;
};

// A material as the libraries define it.
struct Material {
    std::optional<std::array<std::uint8_t, 3>> kd;  // the diffuse colour, when given as r g b
    bool otherKd = false;                           // Kd given otherwise (spectral, xyz)
    bool texture = false;                           // a diffuse texture map
};
using Materials = std::unordered_map<std::string, Material>;

// Reads a material library into `materials` (later definitions of a name win).
void ReadLibrary(const std::filesystem::path& file, const std::string& format,
                 Materials& materials) {
    detail::Input in(file, format.c_str());
    Lines lines(in, format);
    std::vector<std::string_view> words;
    Material* current = nullptr;
    for (std::string_view line; lines.Next(line, false);) {
        Split(line, words);
        if (words.empty()) continue;
        if (words[0] == "newmtl") {
            const std::string_view name = AfterKeyword(line, "newmtl");
            current = name.empty() ? nullptr : &materials[std::string(name)];
            if (current) *current = {};
        } else if (current && words[0] == "Kd") {
            // "Kd r [g b]": g and b default to r. "Kd spectral ..." and "Kd xyz ..." are not read.
            double rgb[3];
            bool numbers = words.size() == 2 || words.size() == 4;
            for (std::size_t c = 0; numbers && c < 3; ++c)
                numbers = detail::ParseNumber(words[words.size() == 2 ? 1 : c + 1], rgb[c]);
            if (numbers) {
                current->kd = std::array<std::uint8_t, 3>{};
                for (int c = 0; c < 3; ++c)
                    (*current->kd)[c] = static_cast<std::uint8_t>(detail::Channel8(rgb[c]));
                current->otherKd = false;
            } else {
                current->kd.reset();
                current->otherKd = true;
            }
        } else if (current && words[0] == "map_Kd") {
            current->texture = true;
        }
    }
}

class ObjReader {
public:
    ObjReader(const std::filesystem::path& file, detail::Progress& progress)
        : file_(file), in_(file_, "OBJ", &progress), lines_(in_, "OBJ") {}

    FloatMesh Read() {
        for (std::string_view line; lines_.Next(line, true);) {
            Split(line, words_);
            if (words_.empty()) continue;
            const std::string_view key = words_[0];
            if (key == "v")
                Vertex();
            else if (key == "f")
                Face();
            else if (key == "o" || key == "g")
                StartGroup(AfterKeyword(line, key));
            else if (key == "usemtl")
                UseMaterial(AfterKeyword(line, "usemtl"));
            else if (key == "mtllib")
                libraries_.emplace_back(AfterKeyword(line, "mtllib"));
            else if (key == "l")
                ++lineElements_;
            else if (key == "p")
                ++pointElements_;
            else if (key == "curv" || key == "curv2" || key == "surf")
                ++freeForm_;
            // Everything else (vt, vn, s, free-form parameters...) carries nothing we keep.
        }
        StartGroup({});
        if (mesh_.groups.size() < 2) mesh_.groups.clear();
        const std::size_t points = mesh_.points.size() / 3;
        for (const std::uint32_t i : mesh_.indices)
            if (i >= points)
                detail::Fail("OBJ: a face names vertex " + std::to_string(std::uint64_t{i} + 1) +
                             ", but the file has " + detail::Count(points, "vertex", "vertices"));
        ApplyMaterials();
        Warn();
        return std::move(mesh_);
    }

private:
    void Vertex() {
        const std::size_t n = words_.size() - 1;
        if (n < 3) lines_.Fail("a vertex needs x, y and z");
        if (mesh_.points.size() / 3 >= std::numeric_limits<std::uint32_t>::max())
            lines_.Fail("more than 2^32 - 1 vertices");
        for (int c = 1; c <= 3; ++c) {
            float v;
            if (!detail::ParseNumber(words_[c], v))
                lines_.Fail("the coordinate '" + Shown(words_[c]) + "' is not a number");
            mesh_.points.push_back(v);
        }
        // x y z w (a weight, meaningless for polygons), or x y z r g b (colour 0-1).
        if (n == 6) {
            std::uint8_t rgb[3];
            for (int c = 0; c < 3; ++c) {
                double v;
                if (!detail::ParseNumber(words_[4 + c], v))
                    lines_.Fail("the colour component '" + Shown(words_[4 + c]) +
                                "' is not a number");
                rgb[c] = static_cast<std::uint8_t>(detail::Channel8(v));
            }
            // 4 bytes per vertex from the first coloured one on: r, g, b and "has a colour".
            vertexRgb_.resize(4 * (mesh_.points.size() / 3), 0);
            std::copy(rgb, rgb + 3, vertexRgb_.end() - 4);
            vertexRgb_.back() = 1;
            ++coloredVertices_;
        } else {
            if (!vertexRgb_.empty()) vertexRgb_.resize(4 * (mesh_.points.size() / 3), 0);
            extraValues_ += n != 3 && n != 4;
        }
    }

    void Face() {
        const std::size_t corners = words_.size() - 1;
        const std::size_t before = Triangles();
        const std::uint64_t known = mesh_.points.size() / 3;
        detail::ColorSum sum;
        bool allColored = !vertexRgb_.empty();
        detail::Fan fan(mesh_.indices);
        for (std::size_t k = 0; k < corners; ++k) {
            // "v", "v/vt", "v//vn" or "v/vt/vn": only v is kept.
            const std::string_view corner = words_[1 + k];
            std::int64_t v = 0;
            if (!detail::ParseNumber(corner.substr(0, corner.find('/')), v) || v == 0)
                lines_.Fail("the face corner '" + Shown(corner) + "' is not a vertex number");
            // Negative numbers count back from the last vertex so far; positive ones may name
            // vertices further down the file (checked at the end).
            const std::int64_t index = v > 0 ? v - 1 : static_cast<std::int64_t>(known) + v;
            if (index < 0 || index >= std::numeric_limits<std::uint32_t>::max())
                lines_.Fail("the face corner " + std::to_string(v) + " names no vertex (" +
                            detail::Count(known, "vertex", "vertices") + " so far)");
            const auto i = static_cast<std::uint32_t>(index);
            if (allColored && 4 * std::size_t{i} < vertexRgb_.size() && vertexRgb_[4 * i + 3])
                sum.Add(&vertexRgb_[4 * std::size_t{i}]);
            else
                allColored = false;
            fan.Add(i);
        }
        if (corners < 3) {
            ++fewCorners_;
            return;
        }
        const std::uint16_t color = allColored ? sum.Average() : 0;
        if (color != 0) {
            averaged_ += Triangles() - before;
            mesh_.colors.resize(before, 0);  // the faces before, when this is the first colour
        }
        if (color != 0 || !mesh_.colors.empty()) mesh_.colors.resize(Triangles(), color);
    }

    std::size_t Triangles() const { return mesh_.indices.size() / 3; }

    // "o" and "g" start a new group (the end of the file closes the last one).
    void StartGroup(std::string_view name) {
        if (Triangles() > group_.firstTriangle) {
            group_.triangleCount = Triangles() - group_.firstTriangle;
            mesh_.groups.push_back(std::move(group_));
        }
        group_ = {std::string(name), Triangles(), 0};
    }

    void UseMaterial(std::string_view name) {
        auto [at, added] =
            materialIds_.try_emplace(std::string(name), static_cast<std::uint32_t>(names_.size()));
        if (added) names_.push_back(at->first);
        if (!runs_.empty() && runs_.back().first == Triangles()) runs_.pop_back();  // no faces
        const std::uint32_t previous = runs_.empty() ? 0 : runs_.back().second;
        if (at->second != previous) runs_.emplace_back(Triangles(), at->second);
    }

    // The libraries' file names: those of an "mtllib" line are separated by spaces, unless the
    // whole rest of the line names a file.
    std::vector<std::string> LibraryNames() const {
        std::vector<std::string> out;
        std::vector<std::string_view> words;
        for (const std::string& text : libraries_) {
            struct stat st {};
            if (text.find_first_of(kSpaces) != std::string::npos &&
                ::stat(Beside(text).c_str(), &st) == 0) {
                out.push_back(text);
                continue;
            }
            Split(text, words);
            out.insert(out.end(), words.begin(), words.end());
        }
        std::vector<std::string> unique;
        std::unordered_set<std::string> seen;
        for (std::string& name : out)
            if (seen.insert(name).second) unique.push_back(std::move(name));
        return unique;
    }

    std::filesystem::path Beside(const std::string& name) const {
        const std::filesystem::path path(name);
        return path.is_absolute() ? path : file_.parent_path() / path;
    }

    // Reads the libraries; gives each face the Kd of its material, over vertex colours.
    void ApplyMaterials() {
        Materials materials;
        // Names of libraries missing or unreadable, with the reason, for one warning each kind.
        std::vector<std::pair<std::string, std::string>> missing, unreadable;
        // Each file is read once, however many names it goes by.
        std::set<std::pair<dev_t, ino_t>> read;
        for (const std::string& name : LibraryNames()) {
            const std::filesystem::path path = Beside(name);
            const std::string shown = "\"" + Shown(name) + "\"";
            struct stat st {};
            if (::stat(path.c_str(), &st) != 0) {
                missing.emplace_back(shown, std::string());
                continue;
            }
            if (!read.emplace(st.st_dev, st.st_ino).second) continue;
            const std::string format = "OBJ: the material library " + shown;
            Materials defined;
            try {
                ReadLibrary(path, format, defined);
            } catch (const MeshError& e) {
                std::string why = e.what();
                if (why.starts_with(format + ": ")) why.erase(0, format.size() + 2);
                unreadable.emplace_back(shown, why);
                continue;
            }
            for (auto& [key, material] : defined)
                materials[key] = material;
        }
        WarnLibraries(missing, "is missing", "are missing");
        WarnLibraries(unreadable, "cannot be read", "cannot be read");
        libraryTrouble_ = !missing.empty() || !unreadable.empty();

        // Which materials the faces use, and the colour each gives.
        std::vector<std::uint16_t> colorOf(names_.size(), 0);
        std::uint64_t undefined = 0, textured = 0, otherKd = 0;
        for (std::size_t id = 1; id < names_.size(); ++id) {  // 0: faces without a material
            if (names_[id] == kNoColorMaterial) continue;
            const auto found = materials.find(names_[id]);
            if (found == materials.end()) {
                ++undefined;
                continue;
            }
            const Material& m = found->second;
            if (m.kd) colorOf[id] = detail::ColorFromRgb8((*m.kd)[0], (*m.kd)[1], (*m.kd)[2]);
            textured += m.texture;
            otherKd += m.otherKd;
        }
        for (std::size_t r = 0; r < runs_.size(); ++r) {
            const std::uint16_t color = colorOf[runs_[r].second];
            if (color == 0) continue;
            const std::size_t end = r + 1 < runs_.size() ? runs_[r + 1].first : Triangles();
            mesh_.colors.resize(Triangles(), 0);
            for (std::size_t t = runs_[r].first; t < end; ++t) {
                overridden_ += mesh_.colors[t] != 0;  // an average of vertex colours
                mesh_.colors[t] = color;
            }
        }
        if (undefined > 0 && !libraryTrouble_)
            mesh_.warnings.push_back(
                libraries_.empty()
                    ? "the file names no material library: the faces' materials give no colours"
                    : "the material libraries do not define " +
                          detail::Count(undefined, "material", "materials") +
                          " that faces use: those faces have no colour");
        if (textured > 0)
            mesh_.warnings.push_back("diffuse texture maps of " +
                                     detail::Count(textured, "material", "materials") +
                                     " ignored (their Kd colour is used)");
        if (otherKd > 0)
            mesh_.warnings.push_back("diffuse colours of " +
                                     detail::Count(otherKd, "material", "materials") +
                                     " ignored: not given as r g b");
    }

    // One warning for the libraries in `names` (the first few named).
    void WarnLibraries(const std::vector<std::pair<std::string, std::string>>& names,
                       const char* one, const char* many) {
        const auto named = [&](std::size_t i) {
            return names[i].first + (names[i].second.empty() ? "" : " (" + names[i].second + ")");
        };
        if (names.empty()) return;
        if (names.size() == 1) {
            mesh_.warnings.push_back("the material library " + names[0].first + " " + one +
                                     (names[0].second.empty() ? "" : " (" + names[0].second + ")") +
                                     ": its materials give no colours");
            return;
        }
        std::string list;
        for (std::size_t i = 0; i < std::min<std::size_t>(names.size(), 3); ++i)
            list += (i > 0 ? ", " : "") + named(i);
        if (names.size() > 3) list += ", ...";
        mesh_.warnings.push_back(
            detail::Count(names.size(), "material library", "material libraries") + " " + many +
            " (" + list + "): their materials give no colours");
    }

    void Warn() {
        auto& w = mesh_.warnings;
        if (fewCorners_ > 0)
            w.push_back(detail::Count(fewCorners_, "face", "faces") +
                        " with fewer than 3 vertices left out");
        if (lineElements_ > 0)
            w.push_back(detail::Count(lineElements_, "line", "lines") + " left out");
        if (pointElements_ > 0)
            w.push_back(detail::Count(pointElements_, "point element", "point elements") +
                        " left out");
        if (freeForm_ > 0)
            w.push_back(detail::Count(freeForm_, "free-form curve or surface",
                                      "free-form curves and surfaces") +
                        " left out");
        if (extraValues_ > 0)
            w.push_back("values after x y z of " +
                        detail::Count(extraValues_, "vertex", "vertices") +
                        " ignored (neither a weight nor an r g b colour)");
        if (coloredVertices_ > 0 && Triangles() > 0) {
            if (averaged_ > overridden_)
                w.push_back(overridden_ > 0
                                ? "vertex colours averaged over each face's corners into colours "
                                  "for the faces whose material gives none"
                                : "vertex colours averaged over each face's corners into face "
                                  "colours");
            else
                w.push_back("vertex colours of " +
                            detail::Count(coloredVertices_, "vertex", "vertices") +
                            " ignored: the faces' materials give their colours, or some "
                            "corners have none");
        }
    }

    const std::filesystem::path file_;
    detail::Input in_;
    Lines lines_;
    FloatMesh mesh_;
    std::vector<std::string_view> words_;
    std::vector<std::uint8_t> vertexRgb_;  // 4 per vertex once one has a colour
    MeshGroup group_{{}, 0, 0};
    // Materials by name; names_[0] is "no material" (faces before the first "usemtl").
    std::unordered_map<std::string, std::uint32_t> materialIds_{{std::string(), 0}};
    std::vector<std::string> names_{std::string()};
    // The material from each triangle on: (first triangle, material id), ascending.
    std::vector<std::pair<std::size_t, std::uint32_t>> runs_;
    std::vector<std::string> libraries_;  // the rest of each "mtllib" line
    bool libraryTrouble_ = false;
    std::uint64_t fewCorners_ = 0, lineElements_ = 0, pointElements_ = 0, freeForm_ = 0,
                  extraValues_ = 0, coloredVertices_ = 0;
    // Triangles given the average of their corners' colours, and those of them whose material
    // gives a colour instead.
    std::uint64_t averaged_ = 0, overridden_ = 0;
};

}  // namespace

namespace detail {

FloatMesh ReadObj(const std::filesystem::path& file, Progress& progress) {
    return ObjReader(file, progress).Read();
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
