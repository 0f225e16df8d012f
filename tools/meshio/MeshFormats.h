// Reading and writing the common mesh file formats (STL, PLY, OBJ, OFF) for the command-line
// tool. Independent of the KVX library: meshes come and go as floating-point triangle lists.
//
// Every reader treats its file as hostile. A bad file yields a MeshError with a one-line reason;
// counts and lengths are checked against the bytes that remain before anything is allocated or
// looped over, so memory grows at most linearly with the size of the file (under 40 bytes for
// each byte of the file at the peak, in the worst case of a PLY with one-byte indices).
// Limits:
//   - at most 2^32 - 1 points (the indices are 32-bit); a binary STL may hold at most
//     1,431,655,765 triangles (3 points each);
//   - a PLY header at most 64 KiB long; an OFF line at most 64 KiB long; a number or word in a
//     text file at most 1 KiB long;
//   - only regular files are read (no pipes or devices);
//   - coordinates must be finite numbers (also after rounding a PLY double to float).
// STL, PLY and OFF are read by our own code; OBJ by assimp, which does its own checking: its
// result is checked again (finite points, indices in range) before it is returned.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvx::meshio {

// 15-bit facet colour: bit 15 marks it valid; red in bits 10-14, green 5-9, blue 0-4.
inline constexpr std::uint16_t kColorValid = 0x8000;

struct FloatMesh {
    std::vector<float> points;           // x, y, z per point, in the file's own length unit
    std::vector<std::uint32_t> indices;  // 3 point indices per triangle, each < points.size() / 3
    // Empty, or one per triangle in the layout above (0: no colour). Readers leave it empty when
    // no triangle has a colour.
    std::vector<std::uint16_t> colors;
    // Whole-mesh RGBA, when the file names one (Magics binary STL).
    std::optional<std::array<std::uint8_t, 4>> objectColor;
};

class MeshError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Format { Stl, Ply, Obj, Off };  // Stl covers binary and ASCII on reading

// The two conventions for facet colours in the attribute word of binary STL:
//   ValidBit (VisCAM, SolidView): bit 15 set marks a facet colour, red in bits 10-14, blue 0-4.
//   Magics (Materialise): "COLOR=" and 4 bytes RGBA in the header give the object colour; a
//     facet with bit 15 clear has its own colour, red in bits 0-4, blue 10-14; bit 15 set means
//     "the object colour". Reading converts to the FloatMesh layout.
enum class StlColors { ValidBit, Magics };

struct WriteOptions {
    bool colors = false;  // write facet colours (Magics STL: also the object colour)
    StlColors stlColors = StlColors::ValidBit;
    bool asciiStl = false;  // ASCII instead of binary STL (no colours)
    std::string name;       // solid name of ASCII STL
};

// The format that a file name's extension (.stl .ply .obj .off, any case) stands for.
std::optional<Format> FormatFromPath(const std::filesystem::path& file);

// Reads a mesh. STL keeps 3 points per facet (no welding); a binary STL is one whose size is
// 84 + 50 x its triangle count, even if its header starts with "solid". PLY faces with more than
// 3 vertices, and OBJ and OFF polygons, are split into fans of triangles; faces with fewer are
// left out. Throws MeshError.
FloatMesh ReadMesh(const std::filesystem::path& file, Format format);

// Writes a mesh to `out` (STL, PLY or OBJ without colours; OBJ colours need WriteObj). Throws
// MeshError for a format it cannot write, an inconsistent mesh, or when the stream fails.
//   STL: binary unless options.asciiStl; facet normals are computed (0 for degenerate facets).
//     The binary header never starts with "solid". Magics colours: the header names the object
//     colour, or neutral grey 80 80 80 FF without one; uncoloured facets get "object colour".
//     ASCII numbers are the shortest text that reads back as the same float.
//   PLY: binary little-endian. With colours, faces carry uchar red, green, blue; when some face
//     has no colour, also uchar alpha: 0 (with grey 80 80 80) on those faces, read back as
//     "no colour".
void WriteMesh(std::ostream& out, const FloatMesh& mesh, Format format,
               const WriteOptions& options);

// Writes OBJ. With options.colors (and a mesh that has colours), `mtl` receives the material
// library that `obj` names as `mtlFileName`, and faces are grouped by colour under materials
// "kvx_RRGGBB" (8-bit hex), those without a colour under "kvx_none". On reading, only materials
// named "kvx_" and 6 hex digits give colours, from their diffuse colour (Kd), so without the
// library the faces read back in assimp's default grey. `mtl` may be null when no colours are
// written.
void WriteObj(std::ostream& obj, std::ostream* mtl, const std::string& mtlFileName,
              const FloatMesh& mesh, const WriteOptions& options);

}  // namespace kvx::meshio
