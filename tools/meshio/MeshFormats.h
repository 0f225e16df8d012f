// Reading and writing the common mesh file formats (STL, PLY, OBJ, OFF) for the command-line
// tool. Independent of the KVX library: meshes come and go as floating-point triangle lists.
//
// Every reader treats its file as hostile. A bad file yields a MeshError with a one-line reason
// that names the format once ("PLY: ...", "binary STL: ...") and not the file; counts and lengths
// are checked against the bytes that remain before anything is allocated or looped over, so
// memory grows at most linearly with the size of the file (under 40 bytes for each byte of the
// file at the peak, in the worst case of a PLY with one-byte indices) and time linearly too.
// Limits:
//   - at most 2^32 - 1 points (the indices are 32-bit); a binary STL may hold at most
//     1,431,655,765 triangles (3 points each);
//   - a PLY header at most 64 KiB long; an OFF, OBJ or material library line at most 64 KiB long
//     (an OBJ line continued with "\" counts as one); a number or word in a text file at most
//     1 KiB long;
//   - only regular files are read (no FIFOs or devices): the type is checked before opening, and
//     again on the opened file, which is opened without blocking so that a FIFO put in its place
//     in between cannot stall the open;
//   - coordinates must be finite numbers (also after rounding a PLY double to float).
// All four formats, and OBJ material libraries, are read by our own code: a general-purpose
// importer drops PLY face colours, parses numbers inexactly, cannot tell a material's own
// diffuse colour from its default one, and gives OBJ faces before the first "usemtl" some other
// material.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvx::meshio {

// 15-bit facet colour: bit 15 marks it valid; red in bits 10-14, green 5-9, blue 0-4. An 8-bit
// channel v becomes the nearest 5-bit one, (v x 31 + 127) / 255; a channel given as a number
// from 0 to 1 is first made 8-bit (rounded, clamped to 0..1).
inline constexpr std::uint16_t kColorValid = 0x8000;

// A part of a mesh that the file names.
struct MeshGroup {
    std::string name;           // as the file names it (may be empty)
    std::size_t firstTriangle;  // triangles [firstTriangle, firstTriangle + triangleCount)
    std::size_t triangleCount;
};

struct FloatMesh {
    std::vector<float> points;           // x, y, z per point, in the file's own length unit
    std::vector<std::uint32_t> indices;  // 3 point indices per triangle, each < points.size() / 3
    // Empty, or one per triangle in the layout above (0: no colour). Readers leave it empty when
    // no triangle has a colour.
    std::vector<std::uint16_t> colors;
    // Whole-mesh RGBA, when the file names one (binary STL with "COLOR=" in its header).
    std::optional<std::array<std::uint8_t, 4>> objectColor;
    // In file order, covering all triangles, when the file names several parts: OBJ "o" and "g"
    // (a new group starts at each; faces before the first form a group without a name), ASCII
    // STL with several "solid ... endsolid" blocks (named by the solid's name). Groups without
    // triangles are left out; when fewer than two remain, `groups` is empty, as for PLY, OFF and
    // binary STL. Writers ignore it.
    std::vector<MeshGroup> groups;
    // What the reader saw and left out or changed, one sentence each without the file name,
    // e.g. "1,234 faces with fewer than 3 vertices left out". Writers ignore it.
    std::vector<std::string> warnings;
};

class MeshError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Format { Stl, Ply, Obj, Off };  // Stl covers binary and ASCII on reading

// The two conventions for facet colours in the attribute word of binary STL:
//   ValidBit: bit 15 set marks a facet colour, red in bits 10-14, blue 0-4 (the FloatMesh
//     layout).
//   Header: "COLOR=" and 4 bytes RGBA in the 80-byte header give the object colour; a facet with
//     bit 15 clear has its own colour, red in bits 0-4, blue 10-14; bit 15 set means "the object
//     colour". A header with "COLOR=" selects it on reading; reading converts to the FloatMesh
//     layout, facets in the object colour getting no facet colour.
enum class StlColors { ValidBit, Header };

struct ReadOptions {
    // Called as the file is read, with the bytes consumed so far and the file's size: at the
    // start, then at most about once per MiB, and once with done == total when reading
    // succeeded. Not called after a failure.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct WriteOptions {
    bool colors = false;  // write facet colours (Header STL: also the object colour)
    StlColors stlColors = StlColors::ValidBit;
    bool ascii = false;  // ASCII STL or ASCII PLY (OBJ is always text)
    std::string name;    // solid name of ASCII STL
};

// The format that a file name's extension (.stl .ply .obj .off, any case) stands for.
std::optional<Format> FormatFromPath(const std::filesystem::path& file);

// Reads a mesh. Throws MeshError. PLY faces with more than 3 vertices, and OBJ and OFF polygons,
// are split into fans of triangles; faces with fewer are left out (with a warning). Colours are
// read whenever the file has them (the caller decides whether to keep them); the warnings say
// which colours were averaged or ignored.
//   STL: 3 points per facet (no welding). A binary STL is one whose size is 84 + 50 x its
//     triangle count, even if its header starts with "solid"; facet colours in either
//     convention above. ASCII STL has no colours.
//   PLY: ASCII and both binary encodings. Colours are properties red, green and blue (or r, g, b)
//     of type uchar (0-255) or float or double (0-1). Face colours win; a face with alpha 0
//     has no colour (our writer's mark for uncoloured faces). Otherwise vertex colours are
//     averaged over each face's corners; vertex alpha is ignored.
//   OBJ: a face's colour is the diffuse colour (Kd r [g b]) that the material library gives its
//     material ("usemtl"). Faces before the first "usemtl", with material "kvx_none", or whose
//     material has no Kd in the libraries have none. Libraries ("mtllib", names separated by
//     spaces unless the whole rest of the line names a file) are found beside the OBJ file; a
//     missing one is a warning and its materials give no colours. Where the material gives no
//     colour, vertex colours ("v x y z r g b", 0-1) are averaged over the face's corners.
//     Lines, points and free-form geometry are left out (with a warning).
//   OFF: also COFF (vertex colours after x y z), NOFF (vertex normals after x y z, ignored) and
//     CNOFF or NCOFF (normals, then colours); other variants and binary OFF are refused. A face
//     line may end in a colour of 3 or 4 components. A colour whose components are all integers
//     is 0-255, else 0-1; alpha is ignored. Face colours win; faces without one get the average
//     of their corners' colours.
FloatMesh ReadMesh(const std::filesystem::path& file, Format format,
                   const ReadOptions& options = {});

// Writes a mesh to `out` (STL, PLY or OBJ without colours; OBJ colours need WriteObj). Throws
// MeshError for a format it cannot write, an inconsistent mesh, or when the stream fails.
//   STL: binary unless options.ascii; facet normals are computed (0 for degenerate facets).
//     ASCII STL cannot carry colours: none are written, whatever options.colors says. The binary
//     header never starts with "solid". Header colours: the header names the object colour, or
//     neutral grey 80 80 80 FF without one; uncoloured facets get "the object colour".
//     ASCII numbers are the shortest text that reads back as the same float.
//   PLY: binary little-endian, or ASCII with options.ascii (shortest round-trip numbers). With
//     colours, faces carry uchar red, green, blue; when some face has no colour, also uchar
//     alpha: 0 (with grey 80 80 80) on those faces, read back as "no colour". Both encodings
//     write the same properties.
void WriteMesh(std::ostream& out, const FloatMesh& mesh, Format format,
               const WriteOptions& options);

// Writes OBJ. With options.colors (and a mesh that has colours), `mtl` receives the material
// library that `obj` names as `mtlFileName`, and faces are grouped by colour under materials
// "kvx_RRGGBB" (8-bit hex) whose Kd is that colour; those without a colour go under "kvx_none"
// (Kd neutral grey, for other programs to show; read back as "no colour"). Without the library
// the faces read back without colours. `mtl` may be null when no colours are written.
void WriteObj(std::ostream& obj, std::ostream* mtl, const std::string& mtlFileName,
              const FloatMesh& mesh, const WriteOptions& options);

}  // namespace kvx::meshio
