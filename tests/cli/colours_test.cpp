// The kvx tool's colours and mesh structure: kept by default, read from every format that has
// them, and named parts packed as meshes of their own.
#include <gtest/gtest.h>

#include <string>

#include "CliTest.h"
#include "support/TestFiles.h"

namespace {

using kvxtest::Bytes;
using Cli = kvxtest::Cli;
using Result = kvxtest::Result;

using kvxtest::Has;

TEST_F(Cli, ColoursAreKeptUnlessDropped) {
    // The sample has a colour on every triangle.
    ASSERT_EQ(Kvx("pack " + sample_ + " -o c.kvx -q").code, 0);
    EXPECT_TRUE(Has(Kvx("info c.kvx").out, "2,304 coloured triangles"));
    ASSERT_EQ(Kvx("pack " + sample_ + " -o plain.kvx -q --no-colors").code, 0);
    EXPECT_TRUE(Has(Kvx("info plain.kvx").out, "no triangle colours"));

    const struct {
        const char* options;
        const char* file;
        bool colors;          // the written file has the colours
        const char* warning;  // in standard error, or ""
    } cases[] = {
        {"", "torus.stl", true, ""},
        {"--stl-colors header", "torus.stl", true, ""},
        {"--format ply", "torus.ply", true, ""},
        {"--format ply --ascii", "torus.ply", true, ""},
        {"--format obj", "torus.obj", true, ""},
        {"--ascii", "torus.stl", false,
         "ASCII STL cannot hold colours; 2,304 coloured triangles written without"},
        {"--no-colors", "torus.stl", false, ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string folder = "out" + std::to_string(n++);
        const Result r = Kvx("unpack c.kvx -o " + folder + " " + c.options);
        ASSERT_EQ(r.code, 0) << c.options << r.err;
        EXPECT_TRUE(c.warning[0] == '\0' ? r.err.empty() : Has(r.err, c.warning))
            << c.options << "\n"
            << r.err;
        const std::string file = folder + "/" + c.file;
        EXPECT_EQ(Kvx("compare " + sample_ + " " + file + " -q").code, 0) << c.options;
        EXPECT_EQ(Kvx("compare " + sample_ + " " + file + " -q --colors").code, c.colors ? 0 : 9)
            << c.options;
    }
    const Bytes ascii = kvxtest::ReadFile(Path("out3/torus.ply"));
    EXPECT_EQ(std::string(ascii.begin(), ascii.begin() + 21), "ply\nformat ascii 1.0\n");
    const Bytes header = kvxtest::ReadFile(Path("out1/torus.stl"));
    EXPECT_TRUE(Has(std::string(header.begin(), header.begin() + 80), "COLOR="));
    // Conventions are named by what they are.
    EXPECT_EQ(Kvx("unpack c.kvx -o x --stl-colors vendor").code, 2);
}

// Colours from each format's own ways of giving them: PLY vertex colours (averaged to the
// face), OBJ materials of any name, OFF face colours and COFF vertex colours.
TEST_F(Cli, ColoursFromEveryFormat) {
    Write("vertex.ply",
          "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
          "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
          "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
          "0 0 0 255 0 0\n1 0 0 255 0 0\n0 1 0 255 0 0\n3 0 1 2\n");
    Write("any.obj", "mtllib any.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl paint\nf 1 2 3\n");
    Write("any.mtl", "newmtl paint\nKd 1 0 0\n");
    Write("face.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2 255 0 0\n");
    Write("vertex.off",
          "COFF\n3 1 0\n0 0 0 255 0 0 255\n1 0 0 255 0 0 255\n0 1 0 255 0 0 255\n"
          "3 0 1 2\n");
    Write("normals.off", "NOFF\n3 1 0\n0 0 0 0 0 1\n1 0 0 0 0 1\n0 1 0 0 0 1\n3 0 1 2\n");
    const struct {
        const char* file;
        const char* expected;
    } cases[] = {
        {"vertex.ply", "1 coloured triangle"},  {"any.obj", "1 coloured triangle"},
        {"face.off", "1 coloured triangle"},    {"vertex.off", "1 coloured triangle"},
        {"normals.off", "no triangle colours"},
    };
    for (const auto& c : cases) {
        const Result packed = Kvx(std::string("pack ") + c.file + " -o k.kvx -q -f");
        ASSERT_EQ(packed.code, 0) << c.file << packed.err;
        const Result info = Kvx("info k.kvx");
        EXPECT_TRUE(Has(info.out, c.expected)) << c.file << "\n" << info.out;
        if (std::string(c.expected) != "no triangle colours") {
            ASSERT_EQ(Kvx("unpack k.kvx -o u -q -f --format ply --ascii").code, 0);
            const Bytes ply = kvxtest::ReadFile(
                Path("u/" + std::string(c.file).substr(0, std::string(c.file).find('.')) + ".ply"));
            // Pure red survives the 5-bit colour code.
            EXPECT_TRUE(Has(std::string(ply.begin(), ply.end()), " 255 0 0")) << c.file;
        }
    }
}

TEST_F(Cli, PartsAndPointClouds) {
    Write("two.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\no lid\nf 1 2 3\no base\nf 1 2 4\n");
    Write("two.stl",
          "solid top\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
          "endloop\nendfacet\nendsolid top\nsolid bottom\nfacet normal 0 0 1\nouter loop\n"
          "vertex 0 0 1\nvertex 1 0 1\nvertex 0 1 1\nendloop\nendfacet\nendsolid bottom\n");
    for (const auto& [file, names] : {std::pair{"two.obj", std::pair{"lid", "base"}},
                                      std::pair{"two.stl", std::pair{"top", "bottom"}}}) {
        ASSERT_EQ(Kvx(std::string("pack ") + file + " -o split.kvx -q -f --split").code, 0);
        const Result info = Kvx("info split.kvx");
        EXPECT_TRUE(Has(info.out, "2 meshes, 2 triangles")) << info.out;
        EXPECT_TRUE(Has(info.out, std::string("1. \"") + names.first + "\": 3 points, 1 triangle"))
            << info.out;
        EXPECT_TRUE(Has(info.out, std::string("2. \"") + names.second + "\": 3 points, 1 triangle"))
            << info.out;
        ASSERT_EQ(Kvx(std::string("pack ") + file + " -o whole.kvx -q -f").code, 0);
        EXPECT_TRUE(Has(Kvx("info whole.kvx").out, "1 mesh, 2 triangles"));
    }
    // Points and no faces: said, not silently packed as nothing.
    Write("cloud.ply",
          "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
          "property float z\nend_header\n0 0 0\n1 0 0\n0 1 0\n");
    const Result cloud = Kvx("pack cloud.ply -o cloud.kvx -q");
    EXPECT_EQ(cloud.code, 0);
    EXPECT_TRUE(Has(cloud.err, "cloud.ply: the file has 3 points and no faces")) << cloud.err;
}

}  // namespace
