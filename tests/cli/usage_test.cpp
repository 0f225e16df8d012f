// The kvx tool as people use it: lengths and units, compare, messages and scripting.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "CliTest.h"
#include "operators/MStlOperatorKVX.h"
#include "support/TestFiles.h"

namespace {

using kvxtest::Bytes;
using Cli = kvxtest::Cli;
using Result = kvxtest::Result;

using kvxtest::Has;

// A 2 x 1 x 0 rectangle of two triangles in OFF.
const char* const kRectangle = "OFF\n4 2 0\n0 0 0\n2 0 0\n2 1 0\n0 1 0\n3 0 1 2\n3 0 2 3\n";

// The file's unit and the grid step are recorded and come back on unpacking; a file without
// the record is read with what the options say, and the tool says it assumes.
TEST_F(Cli, LengthsAreRecordedAndUsed) {
    Write("r.off", kRectangle);
    const Result packed = Kvx("pack r.off -o inch.kvx --file-unit in");
    ASSERT_EQ(packed.code, 0) << packed.err;
    EXPECT_TRUE(Has(packed.out, ", file unit in")) << packed.out;
    // 2 inches are 50.8 mm, on a 1 um grid.
    const Result info = Kvx("info inch.kvx");
    EXPECT_TRUE(Has(info.out, "box (mm) 0.000 0.000 0.000 .. 50.800 25.400 0.000")) << info.out;
    EXPECT_TRUE(Has(info.out, "(grid step 1um, mesh files in inches)")) << info.out;
    const Result json = Kvx("info inch.kvx --json");
    EXPECT_TRUE(Has(json.out, "\"unit_recorded\": true, \"file_unit_mm\": 25.4")) << json.out;
    // Unpacked in inches again without being told, or in mm when asked.
    ASSERT_EQ(Kvx("unpack inch.kvx -o in -q").code, 0);
    EXPECT_EQ(Kvx("compare r.off in/r.stl -q").code, 0);
    ASSERT_EQ(Kvx("unpack inch.kvx -o mm -q --file-unit mm").code, 0);
    EXPECT_EQ(Kvx("compare r.off mm/r.stl -q --file-unit in").code, 9);
    EXPECT_EQ(Kvx("compare in/r.stl mm/r.stl -q").code, 9);

    // A finer grid (old spelling --unit) is recorded as well.
    ASSERT_EQ(Kvx("pack r.off -o fine.kvx --unit 10nm -q").code, 0);
    EXPECT_TRUE(Has(Kvx("info fine.kvx").out, "(grid step 10nm)"));
    ASSERT_EQ(Kvx("unpack fine.kvx -o fine -q").code, 0);
    EXPECT_EQ(Kvx("compare r.off fine/r.stl -q").code, 0);
    // --grid against the record: used as asked, with a warning that sizes scale.
    const Result scaled = Kvx("unpack fine.kvx -o scaled --grid 1um");
    EXPECT_EQ(scaled.code, 0);
    EXPECT_TRUE(Has(scaled.err,
                    "records a grid step of 10nm; using --grid 1um as asked scales "
                    "every size by 100"))
        << scaled.err;

    // A file written by another program has no record.
    {
        MStlBase mesh;
        mesh.AddTriangle(mesh.AddPoint(0, 0, 0), mesh.AddPoint(1000, 0, 0),
                         mesh.AddPoint(0, 1000, 0));
        MStlOperatorKVXExport e;
        e.SetFileName(Wide(Path("plain.kvx")));
        e.AddStl(&mesh, L"plain");
        ASSERT_TRUE(e.Operate());
    }
    EXPECT_TRUE(Has(Kvx("info plain.kvx").out, "grid step 1um assumed: the file does not record"));
    const Result assumed = Kvx("unpack plain.kvx -o plain");
    EXPECT_EQ(assumed.code, 0);
    EXPECT_TRUE(Has(assumed.err, "does not record its grid step; assuming 1um")) << assumed.err;
    // The record is not a data block of the user's.
    EXPECT_TRUE(Has(Kvx("info inch.kvx").out, "0 data blocks"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("in")), {}), 1);
}

// Rounding to the grid that merges points or collapses triangles is reported with counts.
TEST_F(Cli, PrecisionLossIsReported) {
    // The second point is 0.4 um from the first: on a 1 um grid they meet.
    Write("tiny.off", "OFF\n4 2 0\n0 0 0\n0.0004 0 0\n0 1 0\n1 1 0\n3 0 1 2\n3 1 3 2\n");
    const Result coarse = Kvx("pack tiny.off -o t.kvx -q");
    EXPECT_EQ(coarse.code, 0);
    EXPECT_TRUE(Has(coarse.err,
                    "tiny.off: on the 1um grid, 1 point merged with another and 1 of 2 "
                    "triangles became degenerate; a finer --grid (for example "
                    "100nm)"))
        << coarse.err;
    const Result fine = Kvx("pack tiny.off -o f.kvx -q --grid 100nm");
    EXPECT_EQ(fine.code, 0);
    EXPECT_EQ(fine.err, "");
    // A mesh file that shares its points between triangles merges nothing when it is clean.
    Write("r.off", kRectangle);
    EXPECT_EQ(Kvx("pack r.off -o r.kvx -q").err, "");
    // Repeated corners (-0 is 0) are one position before and after: not a loss. Beside them,
    // a true merge is counted once.
    Write("repeats.off", "OFF\n4 2 0\n0 0 0\n-0 0 0\n0 1 0\n1 1 0\n3 0 2 3\n3 1 3 2\n");
    EXPECT_EQ(Kvx("pack repeats.off -o p.kvx -q").err, "");
    Write("mixed.off", "OFF\n5 2 0\n0 0 0\n-0 0 0\n0.0004 0 0\n0 1 0\n1 1 0\n3 1 2 3\n3 0 4 3\n");
    EXPECT_TRUE(
        Has(Kvx("pack mixed.off -o m.kvx -q").err,
            "mixed.off: on the 1um grid, 1 point merged with another and 1 of 2 triangles"));
}

TEST_F(Cli, CompareUsesAUniqueKeyAndSaysWhere) {
    // Two equal corners: the same triangle written from another corner is the same triangle.
    Write("a.off", "OFF\n2 1 0\n0 0 0\n1 0 0\n3 0 0 1\n");
    Write("b.off", "OFF\n2 1 0\n0 0 0\n1 0 0\n3 0 1 0\n");
    Write("flipped.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 2 1\n");
    Write("upright.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 1 2 0\n");
    EXPECT_EQ(Kvx("compare a.off b.off").code, 0);
    EXPECT_EQ(Kvx("compare upright.off flipped.off -q").code, 9);
    const Result differs = Kvx("compare upright.off flipped.off");
    EXPECT_EQ(differs.code, 9);
    EXPECT_TRUE(
        Has(differs.out, "different: 1 triangle only in upright.off, 1 only in flipped.off"))
        << differs.out;
    EXPECT_TRUE(Has(differs.out, "for example, only in upright.off: (0, 0, 0) (1, 0, 0) (0, 1, 0)"))
        << differs.out;
    // -q prints nothing either way.
    EXPECT_EQ(Kvx("compare upright.off flipped.off -q").out, "");
    // KVX files are compared by their meshes, with their recorded lengths.
    ASSERT_EQ(Kvx("pack upright.off -o u.kvx -q --grid 10nm").code, 0);
    EXPECT_EQ(Kvx("compare u.kvx upright.off --grid 10nm -q").code, 0);
    EXPECT_EQ(Kvx("compare u.kvx flipped.off --grid 10nm -q").code, 9);
    EXPECT_EQ(Kvx("compare u.kvx u.kvx -q").code, 0);
}

TEST_F(Cli, MessagesUsersUnderstand) {
    Write("r.off", kRectangle);
    Write("file.txt", "x");
    std::filesystem::create_directory(Path("folder"));
    const struct {
        const char* command;
        int code;
        const char* message;  // in standard error
    } cases[] = {
        {"", 2, "pack"},
        {"pack", 2, "kvx: pack: name at least one mesh file"},
        {"pack r.off", 2, "kvx: pack: name the KVX file to write with -o"},
        {"unpack x.kvx", 2, "kvx: unpack: name the output folder"},
        {"info", 2, "kvx: info: name at least one KVX file"},
        {"compare r.off", 2, "kvx: compare: name two mesh or KVX files"},
        {"info folder", 3, "kvx: folder: is a folder, not a KVX file"},
        {"pack folder -o x.kvx --input-format off", 3, "kvx: folder: is a folder, not a mesh file"},
        {"pack r.off -o file.txt/x.kvx", 7,
         "kvx: file.txt: cannot create the folder (Not a "
         "directory)"},
        {"pack - -o x.kvx < r.off", 3, "standard input: give its format with --input-format"},
    };
    for (const auto& c : cases) {
        const Result r = Kvx(c.command);
        EXPECT_EQ(r.code, c.code) << c.command << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.message)) << c.command << "\n" << r.err;
    }
    // No command lists them all.
    const Result none = Kvx("");
    for (const char* command : {"pack", "unpack", "info", "verify", "compare"})
        EXPECT_TRUE(Has(none.err, command)) << none.err;

    // Counts agree with their nouns; missing folders are made; a name keeps its dots.
    const Result one = Kvx("pack r.off -o new/sub/scan.v2");
    ASSERT_EQ(one.code, 0) << one.err;
    EXPECT_TRUE(Has(one.out, "new/sub/scan.v2.kvx: 1 mesh, 2 triangles,")) << one.out;
    EXPECT_TRUE(Exists("new/sub/scan.v2.kvx"));
    EXPECT_TRUE(Has(Kvx("info new/sub/scan.v2.kvx").out, "\"r\": 4 points, 2 triangles"));
    EXPECT_TRUE(Has(Kvx("verify new/sub/scan.v2.kvx").out, "(1 mesh, 2 triangles, 0 data blocks)"));
    Write("one.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");
    EXPECT_TRUE(Has(Kvx("pack one.off -o one.kvx").out, "1 mesh, 1 triangle, "));
}

TEST_F(Cli, ScriptsUsePipesSeveralFilesAndJson) {
    Write("r.off", kRectangle);
    // Standard input and output.
    ASSERT_EQ(Shell("cat r.off | " KVX_CLI " pack - --input-format off -o piped.kvx -q").code, 0);
    EXPECT_TRUE(Has(Kvx("info piped.kvx").out, "\"stdin\": 4 points, 2 triangles"));
    const Result toStdout = Shell("(" KVX_CLI " pack r.off -o - > out.kvx)");
    ASSERT_EQ(toStdout.code, 0) << toStdout.err;
    EXPECT_TRUE(Has(toStdout.err, "standard output: 1 mesh, 2 triangles")) << toStdout.err;
    EXPECT_EQ(Kvx("verify out.kvx -q").code, 0);
    ASSERT_EQ(Kvx("pack r.off " + sample_ + " -o two.kvx -q --name rect").code, 0);
    const Result one = Shell("(" KVX_CLI " unpack two.kvx --mesh torus -o - > torus.stl)");
    ASSERT_EQ(one.code, 0) << one.err;
    EXPECT_EQ(Kvx("compare torus.stl " + sample_ + " -q").code, 0);
    const Result ambiguous = Kvx("unpack two.kvx -o - > x.stl");
    EXPECT_EQ(ambiguous.code, 2);
    EXPECT_TRUE(Has(ambiguous.err, "-o - writes one mesh, and the file has 2 meshes"));
    const Result unknown = Kvx("unpack two.kvx --mesh nope -o n");
    EXPECT_EQ(unknown.code, 2);
    EXPECT_TRUE(Has(unknown.err, "no mesh named \"nope\" (the file has \"rect\", \"torus\")"))
        << unknown.err;
    ASSERT_EQ(Kvx("unpack two.kvx --mesh rect -o only -q").code, 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("only")), {}), 1);

    // Several files: each is reported; the exit code is the first failure's.
    Write("junk.kvx", "junk");
    const Result several = Kvx("verify piped.kvx junk.kvx two.kvx");
    EXPECT_EQ(several.code, 4);
    EXPECT_TRUE(Has(several.out, "piped.kvx: ok")) << several.out;
    EXPECT_TRUE(Has(several.out, "two.kvx: ok")) << several.out;
    EXPECT_TRUE(Has(several.err, "junk.kvx: not a KVX file")) << several.err;
    const Result array = Kvx("info piped.kvx junk.kvx --json");
    EXPECT_EQ(array.code, 4);
    EXPECT_EQ(array.out.front(), '[');
    EXPECT_TRUE(Has(array.out,
                    "{\"file\": \"junk.kvx\", \"error\": {\"code\": 4, \"message\": "
                    "\"junk.kvx: not a KVX file\"}}]"))
        << array.out;
    // One file: the error is the whole JSON output.
    const Result error = Kvx("verify junk.kvx --json");
    EXPECT_EQ(error.code, 4);
    EXPECT_EQ(error.out, "{\"error\": {\"code\": 4, \"message\": \"junk.kvx: not a KVX file\"}}\n");
    EXPECT_EQ(Kvx("verify two.kvx --json").out,
              "{\"file\": \"two.kvx\", \"ok\": true, \"package\": false, \"meshes\": 2, "
              "\"triangles\": 2306, "
              "\"data_blocks\": 0}\n");
}

// --reproducible: the same input gives the same bytes; without it two packs differ.
TEST_F(Cli, ReproduciblePacks) {
    for (const char* name : {"a", "b"})
        ASSERT_EQ(Kvx("pack " + sample_ + " -o " + name + ".kvx -q --reproducible").code, 0);
    EXPECT_EQ(kvxtest::ReadFile(Path("a.kvx")), kvxtest::ReadFile(Path("b.kvx")));
    for (const char* name : {"c", "d"})
        ASSERT_EQ(Kvx("pack " + sample_ + " -o " + name + ".kvx -q").code, 0);
    EXPECT_NE(kvxtest::ReadFile(Path("c.kvx")), kvxtest::ReadFile(Path("d.kvx")));
    EXPECT_EQ(Kvx("compare a.kvx c.kvx -q").code, 0);
}

// The manual page and the bash completion know every option each command's help lists.
TEST_F(Cli, ManualAndCompletionCoverEveryOption) {
    const Bytes man = kvxtest::ReadFile(std::string(KVX_SOURCE_DIR) + "/docs/kvx.1");
    const Bytes completion =
        kvxtest::ReadFile(std::string(KVX_SOURCE_DIR) + "/tools/completion/kvx.bash");
    std::string manText(man.begin(), man.end());
    // roff writes "\-" for "-".
    manText = std::regex_replace(manText, std::regex(R"(\\-)"), "-");
    const std::string completionText(completion.begin(), completion.end());
    for (const char* command : {"pack", "unpack", "info", "verify", "compare"}) {
        const Result help = Kvx(std::string(command) + " --help");
        ASSERT_EQ(help.code, 0);
        const std::regex option(R"((--[a-z][a-z-]+))");
        int found = 0;
        for (auto it = std::sregex_iterator(help.out.begin(), help.out.end(), option);
             it != std::sregex_iterator(); ++it, ++found) {
            const std::string name = (*it)[1];
            EXPECT_TRUE(Has(manText, name)) << command << " " << name << " not in docs/kvx.1";
            EXPECT_TRUE(Has(completionText, name + " ") || Has(completionText, name + "\""))
                << command << " " << name << " not in the completion";
        }
        EXPECT_GT(found, 3) << command << help.out;
    }
}

}  // namespace
