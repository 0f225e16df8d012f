// Self-extracting packages and their temporary files: building a package leaves nothing behind
// on any path, and the stub, run, never touches a file or link under the name it writes beside.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "maker/Text.h"
#include "operators/MStlOperatorKVX.h"
#include "support/TestFiles.h"

namespace {

using kvxtest::Bytes;

// A mesh that fails as an exhausted allocator would when the export's content writer asks it
// whether it has colours.
class ThrowingMesh : public MStlBase {
public:
    bool HasColoredTriangles() const override { throw std::bad_alloc(); }
};

void AddTriangle(MStlBase& mesh) {
    const auto a = mesh.AddPoint(0, 0, 0), b = mesh.AddPoint(1000, 0, 0),
               c = mesh.AddPoint(0, 1000, 0);
    mesh.AddTriangle(a, b, c);
}

class Packages : public testing::Test {
protected:
    Packages() { ::mkdir(tmp_.c_str(), 0700); }
    ~Packages() override {
        EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 0u) << "temporary files left";
    }

    // The names in the test directory, of every kind, sorted.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : boost::filesystem::directory_iterator(dir_.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Builds model.exe from one triangle with the project's stub and makes it executable.
    std::string BuildPackage() {
        MStlBase mesh;
        AddTriangle(mesh);
        MStlOperatorKVXExport e;
        e.SetFileName(dir_.wfile("model.stl"));
        e.AddStl(&mesh, L"t");
        e.SetSelfExtractingPath(stub_);
        EXPECT_TRUE(e.Operate());
        const std::string package = dir_.file("model.exe");
        EXPECT_EQ(::chmod(package.c_str(), 0755), 0);
        return package;
    }

    kvxtest::TempDir dir_;
    std::string tmp_ = dir_.file("tmp");
    kvxtest::ScopedEnv env_{"TMPDIR", tmp_};
    std::wstring stub_ = CharacterSetConversions::String<wchar_t>(std::string(KVX_SFX_STUB));
};

// An exception out of the content writer passes on, and no staged or temporary file stays:
// neither the KVX file a package is built from nor the files staged beside the target.
TEST_F(Packages, ExceptionWhileExportingLeavesNoFile) {
    const Bytes before = {'o', 'l', 'd'};
    kvxtest::WriteFile(dir_.file("model.exe"), before);
    kvxtest::WriteFile(dir_.file("model.kvx"), before);
    for (const bool package : {true, false}) {
        ThrowingMesh mesh;
        AddTriangle(mesh);
        MStlOperatorKVXExport e;
        e.SetFileName(dir_.wfile("model.stl"));
        e.AddStl(&mesh, L"t");
        e.ExportTriangleColor(true);
        if (package) e.SetSelfExtractingPath(stub_);
        EXPECT_THROW(e.Operate(), std::bad_alloc) << package;
        EXPECT_EQ(Names(), (std::vector<std::string>{"model.exe", "model.kvx", "tmp"})) << package;
        EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 0u) << package;
    }
    EXPECT_EQ(kvxtest::ReadFile(dir_.file("model.exe")), before);
    EXPECT_EQ(kvxtest::ReadFile(dir_.file("model.kvx")), before);
}

// The stub writes to a fresh file of its own beside the target: a file or a symbolic link under
// the target's name plus ".part" is neither truncated nor followed.
TEST_F(Packages, StubLeavesAFileOrLinkAtItsStagingNameAlone) {
    const std::string package = BuildPackage();
    const std::string target = dir_.file("out.kvx");
    const std::string part = target + ".part";
    const std::string victim = dir_.file("victim");
    const Bytes mine = {'m', 'i', 'n', 'e'};
    for (const bool link : {false, true}) {
        kvxtest::WriteFile(victim, mine);
        if (link) {
            ASSERT_EQ(::symlink(victim.c_str(), part.c_str()), 0);
        } else {
            kvxtest::WriteFile(part, mine);
        }
        ASSERT_EQ(std::system((package + " " + target + " > /dev/null").c_str()), 0) << link;
        const Bytes extracted = kvxtest::ReadFile(target);
        ASSERT_GE(extracted.size(), 4u);
        EXPECT_EQ(Bytes(extracted.begin(), extracted.begin() + 4), (Bytes{'Q', 'O', 'R', 'Z'}));
        struct stat st;
        ASSERT_EQ(::lstat(part.c_str(), &st), 0) << link;
        EXPECT_EQ(S_ISLNK(st.st_mode), link);
        EXPECT_EQ(kvxtest::ReadFile(part), mine) << link;
        EXPECT_EQ(kvxtest::ReadFile(victim), mine) << link;
        // Nothing else was left beside the target.
        EXPECT_EQ(Names(), (std::vector<std::string>{"model.exe", "out.kvx", "out.kvx.part", "tmp",
                                                     "victim"}));
        ASSERT_EQ(::unlink(part.c_str()), 0);
        ASSERT_EQ(::unlink(target.c_str()), 0);
    }
}

// When the file cannot be renamed into place the stub fails and removes what it wrote.
TEST_F(Packages, FailedExtractionLeavesNoFile) {
    const std::string package = BuildPackage();
    const std::string target = dir_.file("busy.kvx");
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    kvxtest::WriteFile(target + "/inside", Bytes{1});  // a directory that rename cannot replace
    EXPECT_NE(std::system((package + " " + target + " > /dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(Names(), (std::vector<std::string>{"busy.kvx", "model.exe", "tmp"}));
}

}  // namespace
