// The kvx command-line tool, run as a program: its files, output and exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "CliTest.h"
#include "operators/MStlOperatorKVX.h"
#include "support/TestFiles.h"

namespace {

using kvxtest::Bytes;
using kvxtest::Has;
namespace fs = std::filesystem;
using Cli = kvxtest::Cli;
using Result = kvxtest::Result;

TEST_F(Cli, EveryFormatRoundTrips) {
    ASSERT_EQ(Kvx("pack " + sample_ + " -o t.kvx --colors").code, 0);
    // Unpacked in each format and compared with the original on the grid, colours included
    // where the format keeps them; then packed again from that format.
    const struct {
        const char* options;
        const char* file;
        bool colors;
    } cases[] = {
        {"", "torus.stl", true},
        {"--stl-colors header", "torus.stl", true},
        {"--ascii", "torus.stl", false},
        {"--format ply", "torus.ply", true},
        {"--format obj", "torus.obj", true},
        {"--format ply", "torus.ply", false},  // colours dropped: none written
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string folder = "out" + std::to_string(n++);
        const std::string colors = c.colors ? " --colors" : "";
        const Result unpacked =
            Kvx("unpack t.kvx -o " + folder + " " + c.options + (c.colors ? "" : " --no-colors"));
        ASSERT_EQ(unpacked.code, 0) << c.options << unpacked.err;
        const std::string file = folder + "/" + c.file;
        EXPECT_EQ(Kvx("compare " + sample_ + " " + file + colors).code, 0) << c.options;
        if (!c.colors) {
            EXPECT_EQ(Kvx("compare " + sample_ + " " + file + " --colors").code, 9) << c.options;
        }
        ASSERT_EQ(Kvx("pack " + file + " -o " + folder + "/again.kvx" + colors).code, 0);
        ASSERT_EQ(Kvx("unpack " + folder + "/again.kvx -o " + folder + "/again" + colors).code, 0);
        EXPECT_EQ(Kvx("compare " + sample_ + " " + folder + "/again/torus.stl" + colors).code, 0)
            << c.options;
    }
    // OFF is read too (a square of two triangles).
    Write("square.off", "OFF\n4 2 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n3 0 1 2\n3 0 2 3\n");
    ASSERT_EQ(Kvx("pack square.off -o square.kvx").code, 0);
    EXPECT_NE(Kvx("info square.kvx").out.find("4 points, 2 triangles"), std::string::npos);
}

TEST_F(Cli, StlColourConventionsOnDisk) {
    ASSERT_EQ(Kvx("pack " + sample_ + " -o t.kvx --colors").code, 0);
    ASSERT_EQ(Kvx("unpack t.kvx -o v --colors").code, 0);
    ASSERT_EQ(Kvx("unpack t.kvx -o m --colors --stl-colors header").code, 0);
    const Bytes v = kvxtest::ReadFile(Path("v/torus.stl")),
                m = kvxtest::ReadFile(Path("m/torus.stl"));
    ASSERT_EQ(v.size(), 84u + 50u * 2304u);
    ASSERT_EQ(m.size(), v.size());
    for (const Bytes* b : {&v, &m})
        EXPECT_NE(std::string(b->begin(), b->begin() + 5), "solid");
    EXPECT_NE(std::string(m.begin(), m.begin() + 80).find("COLOR="), std::string::npos);
    EXPECT_EQ(std::string(v.begin(), v.begin() + 80).find("COLOR="), std::string::npos);
    // The first facet's colour word: valid bit and red high, or own colour with red low.
    const auto word = [](const Bytes& b) { return b[84 + 48] | b[84 + 49] << 8; };
    const int code = word(v);
    ASSERT_NE(code & 0x8000, 0);
    const int r = code >> 10 & 31, g = code >> 5 & 31, bl = code & 31;
    EXPECT_EQ(word(m), bl << 10 | g << 5 | r);
    // A binary STL whose size is not 84 + 50 n is refused.
    Bytes cut(v.begin(), v.end() - 7);
    kvxtest::WriteFile(Path("cut.stl"), cut);
    const Result refused = Kvx("pack cut.stl -o cut.kvx");
    EXPECT_EQ(refused.code, 3);
    EXPECT_NE(refused.err.find("cut.stl"), std::string::npos) << refused.err;
    EXPECT_FALSE(Exists("cut.kvx"));
}

TEST_F(Cli, FailuresHaveTheirMessagesAndCodes) {
    ASSERT_EQ(Kvx("pack " + sample_ + " -o p.kvx --password-env PW -q", "PW=secret").code, 0);
    Write("junk.kvx", "not a kvx file at all");
    const Bytes good = kvxtest::ReadFile(Path("p.kvx"));
    Bytes damaged = good;
    damaged[damaged.size() / 2] ^= 0x40;
    kvxtest::WriteFile(Path("damaged.kvx"), damaged);
    kvxtest::WriteFile(Path("short.kvx"), Bytes(good.begin(), good.begin() + good.size() / 2));

    const struct {
        const char* command;
        const char* env;
        int code;
        const char* message;
    } cases[] = {
        {"info p.kvx", "", 5, "kvx: p.kvx: password protected; give --password"},
        {"unpack p.kvx -o x --password-env PW", "PW=wrong", 5, "kvx: p.kvx: wrong password\n"},
        {"verify p.kvx --password-file nowhere", "", 5,
         "kvx: nowhere: cannot read the password file\n"},
        {"verify junk.kvx", "", 4, "kvx: junk.kvx: not a KVX file\n"},
        {"verify damaged.kvx --password-env PW", "PW=secret", 6,
         "kvx: damaged.kvx: corrupt KVX data"},
        {"verify short.kvx --password-env PW", "PW=secret", 6, "kvx: short.kvx: corrupt KVX data"},
        {"info missing.kvx", "", 3, "kvx: missing.kvx: no such file\n"},
        {"pack torus.txt -o y.kvx", "", 3, "kvx: torus.txt: unknown mesh format"},
        {"pack " KVX_SOURCE_DIR "/samples/torus.stl -o p.kvx", "", 7, "kvx: p.kvx: exists already"},
        {"pack " KVX_SOURCE_DIR "/samples/torus.stl -o z.kvx --unit 1e-9", "", 8,
         "does not fit the grid of 1e-9 steps"},
        {"pack " KVX_SOURCE_DIR "/samples/torus.stl -o z.kvx --unit fast", "", 2, "--grid: 'fast'"},
        {"frobnicate", "", 2, ""},
    };
    for (const auto& c : cases) {
        const Result r = Kvx(c.command, c.env);
        EXPECT_EQ(r.code, c.code) << c.command << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.command << "\n" << r.err;
        // One line, and no progress bar when standard error is not a terminal.
        if (c.code != 2) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        EXPECT_EQ(r.err.find('\r'), std::string::npos);
    }
    EXPECT_EQ(kvxtest::ReadFile(Path("p.kvx")), good);  // the refused pack left it alone
    EXPECT_FALSE(Exists("x") && !std::filesystem::is_empty(Path("x")));
    EXPECT_FALSE(Exists("z.kvx"));
    // The right password opens it, and info says it is protected.
    const Result info = Kvx("info p.kvx --password-env PW", "PW=secret");
    EXPECT_EQ(info.code, 0);
    EXPECT_NE(info.out.find("password protected"), std::string::npos);
}

TEST_F(Cli, NothingHalfWritten) {
    // The second mesh does not fit the grid: no output, no temporary file.
    Write("far.off", "OFF\n3 1 0\n0 0 0\n1e9 0 0\n0 1 0\n3 0 1 2\n");
    const std::size_t before = Leftovers();
    EXPECT_EQ(Kvx("pack " + sample_ + " far.off -o two.kvx").code, 8);
    EXPECT_EQ(Leftovers(), before);
    // An unpack that meets an existing file writes nothing at all.
    ASSERT_EQ(Kvx("pack " + sample_ + " " + sample_ + " -o two.kvx -q").code, 0);
    std::filesystem::create_directory(Path("out"));
    Write("out/torus-2.stl", "mine");
    const Result r = Kvx("unpack two.kvx -o out");
    EXPECT_EQ(r.code, 7);
    EXPECT_NE(r.err.find("torus-2.stl: exists already"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists("out/torus.stl"));
    EXPECT_EQ(kvxtest::ReadFile(Path("out/torus-2.stl")), (Bytes{'m', 'i', 'n', 'e'}));
    EXPECT_EQ(Kvx("unpack two.kvx -o out --force -q").code, 0);
    EXPECT_TRUE(Exists("out/torus.stl"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("out")), {}), 2);
}

TEST_F(Cli, NamesDataBlocksAndJson) {
    Write("odd.bin", "abc");  // an odd byte count survives
    ASSERT_EQ(Kvx("pack " + sample_ + " " + sample_ +
                  " -o n.kvx --name 'first one' --name ../up"
                  " --data odd.bin -q")
                  .code,
              0);
    // A block from another program, named by a hostile name, stays inside the folder.
    {
        MStlBase mesh;
        mesh.AddTriangle(mesh.AddPoint(0, 0, 0), mesh.AddPoint(1, 0, 0), mesh.AddPoint(0, 1, 0));
        MStlOperatorKVXExport e;
        e.SetFileName(Wide(Path("foreign.kvx")));
        e.AddStl(&mesh, L"/etc/passwd");
        e.AddDataBlock({0x584B, 1, 5, 1, 0, '.' | '.' << 8, '/' | 'x' << 8, 'y', 'z'});
        e.AddDataBlock({0x6968});
        ASSERT_TRUE(e.Operate());
    }
    const Result info = Kvx("info n.kvx --json");
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("\"name\": \"first one\", \"points\": 1152, \"triangles\": 2304"),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("\"box_mm\": [[-26.000000, -26.000000, -6.000000]"), std::string::npos);
    EXPECT_NE(info.out.find("{\"name\": \"odd.bin\", \"bytes\": 3}"), std::string::npos);
    ASSERT_EQ(Kvx("unpack n.kvx -o n -q").code, 0);
    EXPECT_EQ(kvxtest::ReadFile(Path("n/odd.bin")), (Bytes{'a', 'b', 'c'}));
    EXPECT_TRUE(Exists("n/first one.stl"));
    EXPECT_TRUE(Exists("n/_up.stl"));
    ASSERT_EQ(Kvx("unpack foreign.kvx -o f -q").code, 0);
    EXPECT_TRUE(Exists("f/_etc_passwd.stl"));
    EXPECT_EQ(kvxtest::ReadFile(Path("f/data-1.bin")), (Bytes{'z'}));
    EXPECT_EQ(kvxtest::ReadFile(Path("f/data-2.bin")), (Bytes{'h', 'i'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("f")), {}), 3);
}

// Data blocks come out exactly as they went in, never taken for triangle colours: not beside
// coloured meshes, and not when one looks like colours (a code with the valid bit for each
// triangle of the only mesh). A file larger than one write of the unpacker survives too.
TEST_F(Cli, DataBlocksStayDataBlocks) {
    Bytes large(200001);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    kvxtest::WriteFile(Path("large.bin"), large);
    ASSERT_EQ(Kvx("pack " + sample_ + " -o c.kvx --colors --data large.bin -q").code, 0);
    const Result info = Kvx("info c.kvx --json");
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("\"colored_triangles\": 2304"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("\"data_blocks\": [\n  {\"name\": \"large.bin\", \"bytes\": 200001}]"),
              std::string::npos)
        << info.out;
    ASSERT_EQ(Kvx("unpack c.kvx -o c --colors -q").code, 0);
    EXPECT_EQ(kvxtest::ReadFile(Path("c/large.bin")), large);
    EXPECT_EQ(Kvx("compare " + sample_ + " c/torus.stl --colors").code, 0);

    {
        MStlBase mesh;
        mesh.AddTriangle(mesh.AddPoint(0, 0, 0), mesh.AddPoint(1, 0, 0), mesh.AddPoint(0, 1, 0));
        MStlOperatorKVXExport e;
        e.SetFileName(Wide(Path("look.kvx")));
        e.AddStl(&mesh, L"one");
        e.AddDataBlock({0x8001});
        ASSERT_TRUE(e.Operate());
    }
    const Result look = Kvx("info look.kvx --json");
    ASSERT_EQ(look.code, 0) << look.err;
    EXPECT_NE(look.out.find("\"colored_triangles\": 0"), std::string::npos) << look.out;
    EXPECT_NE(look.out.find("{\"name\": null, \"bytes\": 2}"), std::string::npos) << look.out;
    ASSERT_EQ(Kvx("unpack look.kvx -o l -q").code, 0);
    EXPECT_EQ(kvxtest::ReadFile(Path("l/data-1.bin")), (Bytes{0x01, 0x80}));
}

// 14392 as "14,392".
std::string Thousands(std::uintmax_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

// The package is a program (execute bits, less the umask) that gives back the KVX file; a file
// under the KVX name is left alone, and the tool reads the package as it reads the KVX file.
TEST_F(Cli, SelfExtractingPackage) {
    Write("box.kvx", "mine");
    const Result packed =
        Shell("umask 027 && " + std::string(KVX_CLI) + " pack " + sample_ + " -o box.kvx --sfx -q");
    ASSERT_EQ(packed.code, 0) << packed.err;
    EXPECT_EQ(kvxtest::ReadFile(Path("box.kvx")), (Bytes{'m', 'i', 'n', 'e'}));
    struct stat st {};
    ASSERT_EQ(::stat(Path("box.exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);

    const struct {
        const char* args;
        int code;
        const char* says;
    } runs[] = {
        {"--help", 0, "usage: ./box.exe [-f|--force] [OUTPUT.kvx]"},
        {"", 1, "box.kvx: exists already (use --force to replace it)"},
        {"out.kvx", 0, "wrote out.kvx ("},
        {"out.kvx", 1, "out.kvx: exists already"},
        {"-f out.kvx", 0, "wrote out.kvx ("},
        {"--force", 0, "/box.kvx ("},
        {"--bogus", 2, "unknown option --bogus"},
        {"a.kvx b.kvx", 2, "one output file only"},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.args);
        const Result r = Shell(std::string("./box.exe ") + run.args);
        EXPECT_EQ(r.code, run.code) << r.err;
        EXPECT_TRUE(Has(r.out + r.err, run.says)) << r.out << r.err;
    }
    EXPECT_FALSE(Exists("--help") || Exists("--bogus") || Exists("a.kvx"));
    EXPECT_EQ(Kvx("verify out.kvx -q").code, 0);
    EXPECT_EQ(kvxtest::ReadFile(Path("box.kvx")), kvxtest::ReadFile(Path("out.kvx")));

    // The package as input.
    const Result verified = Kvx("verify box.exe");
    EXPECT_EQ(verified.code, 0) << verified.err;
    EXPECT_TRUE(Has(verified.out, "box.exe: ok (self-extracting package, 1 mesh, 2,304 triangles"))
        << verified.out;
    const Result info = Kvx("info box.exe");
    EXPECT_TRUE(Has(info.out, "box.exe: self-extracting package of ")) << info.out;
    EXPECT_TRUE(Has(
        info.out, "holding a KVX file of " + Thousands(fs::file_size(Path("out.kvx"))) + " bytes"))
        << info.out;
    ASSERT_EQ(Kvx("unpack box.exe -o u -q").code, 0);
    ASSERT_EQ(Kvx("unpack out.kvx -o v -q").code, 0);
    EXPECT_EQ(kvxtest::ReadFile(Path("u/torus.stl")), kvxtest::ReadFile(Path("v/torus.stl")));
    // Cut inside the stub, it is no KVX file; cut inside the KVX part, it is a damaged one.
    const Bytes package = kvxtest::ReadFile(Path("box.exe"));
    const std::size_t kvxStart = package.size() - fs::file_size(Path("out.kvx"));
    kvxtest::WriteFile(Path("stub-cut.exe"),
                       Bytes(package.begin(), package.begin() + kvxStart / 2));
    kvxtest::WriteFile(Path("kvx-cut.exe"), Bytes(package.begin(), package.end() - 100));
    EXPECT_EQ(Kvx("verify stub-cut.exe").code, 4);
    EXPECT_EQ(Kvx("verify kvx-cut.exe").code, 6);

    const Result badStub = Kvx("pack " + sample_ + " -o other.kvx --sfx=" + sample_);
    EXPECT_EQ(badStub.code, 7);
    EXPECT_NE(badStub.err.find("cannot build the self-extracting package"), std::string::npos)
        << badStub.err;
    EXPECT_FALSE(Exists("other.exe") || Exists("other.kvx"));
}

// Programs nobody here wrote read what unpack writes and count the same triangles.
TEST_F(Cli, OtherProgramsReadTheOutput) {
    ASSERT_EQ(Kvx("pack " + sample_ + " -o t.kvx --colors -q").code, 0);
    ASSERT_EQ(Kvx("unpack t.kvx -o s --colors -q").code, 0);
    ASSERT_EQ(Kvx("unpack t.kvx -o p --format ply --colors -q").code, 0);
    ASSERT_EQ(Kvx("unpack t.kvx -o o --format obj --colors -q").code, 0);
    if (Shell("command -v admesh").code != 0 || Shell("command -v assimp").code != 0)
        GTEST_SKIP() << "admesh or assimp not installed (scripts/setup.sh installs them)";
    const Result admesh = Shell("admesh s/torus.stl");
    ASSERT_EQ(admesh.code, 0) << admesh.err;
    EXPECT_TRUE(std::regex_search(admesh.out, std::regex("Number of facets +: +2304 ")))
        << admesh.out;
    for (const char* file : {"s/torus.stl", "p/torus.ply", "o/torus.obj"}) {
        const Result assimp = Shell(std::string("assimp info ") + file);
        ASSERT_EQ(assimp.code, 0) << file << assimp.err;
        EXPECT_TRUE(std::regex_search(assimp.out, std::regex("Faces: +2304\n")))
            << file << assimp.out;
    }
}

}  // namespace
