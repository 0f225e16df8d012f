#include <gtest/gtest.h>
#include <sys/stat.h>

#include "maker/MFileName.h"
#include "support/TestFiles.h"

namespace {

using kvxtest::TempDir;

TEST(MFileName, TempNamesAreFreshPrivateFilesInTmpdir) {
    TempDir dir;
    kvxtest::ScopedEnv env("TMPDIR", dir.path());
    MFileName a, b;
    ASSERT_TRUE(a.SET_TEMP_NAME(nullptr, nullptr, nullptr, 0xFFFF, 0));
    ASSERT_TRUE(b.SET_TEMP_NAME(nullptr, nullptr, nullptr, 0xFFFF, 0));
    EXPECT_NE(a.GET(), b.GET());
    for (const MFileName* n : {&a, &b}) {
        struct stat st;
        ASSERT_EQ(::stat(n->Native().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(n->Native().rfind(dir.path() + "/", 0), 0u);
        EXPECT_EQ(n->FILE_SIZE(), 0);
    }
    EXPECT_EQ(dir.CountFiles(), 2u);
    EXPECT_TRUE(a.REMOVE());
    EXPECT_FALSE(a.REMOVE());
    EXPECT_EQ(a.FILE_SIZE(), -1);
    EXPECT_EQ(dir.CountFiles(), 1u);
}

TEST(MFileName, TempNameFailsWhereNothingCanBeCreated) {
    kvxtest::ScopedEnv env("TMPDIR", "/nonexistent/kvx");
    MFileName n(L"unchanged");
    EXPECT_FALSE(n.SET_TEMP_NAME(nullptr, nullptr, nullptr, 0xFFFF, 0));
    EXPECT_EQ(n.GET(), L"unchanged");
    TempDir dir;
    const std::wstring here = CharacterSetConversions::String<wchar_t>(dir.path());
    ASSERT_TRUE(n.SET_TEMP_NAME(here.c_str(), L"pre-", L".part", 1, 0));
    const std::string name = n.Native().substr(dir.path().size() + 1);
    EXPECT_EQ(name.rfind("pre-", 0), 0u);
    EXPECT_EQ(name.substr(name.size() - 5), ".part");
}

TEST(MFileName, ExtensionReplacement) {
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"part.stl", L"part.kvx"},
        {L"part", L"part.kvx"},
        {L"a.b.c", L"a.b.kvx"},
        {L"dir.x/part", L"dir.x/part.kvx"},
        {L"/d/p\u00e4rt.obj", L"/d/p\u00e4rt.kvx"},
        {L"..", L"...kvx"},
    };
    for (const auto& c : cases) {
        MFileName n(c.in);
        ASSERT_TRUE(n.SET_EXT_PART(L".kvx", 256));
        EXPECT_EQ(n.GET(), c.out) << "input: " << CharacterSetConversions::String<char>(c.in);
    }
    MFileName n(L"x.y");
    EXPECT_FALSE(n.SET_EXT_PART(L".toolong", 4));
    EXPECT_EQ(n.GET(), L"x.y");
}

TEST(MFileName, SizesAndDirectories) {
    TempDir dir;
    kvxtest::WriteFile(dir.file("f"), kvxtest::Bytes(123, 0));
    EXPECT_EQ(MFileName(dir.wfile("f")).FILE_SIZE(), 123);
    EXPECT_EQ(MFileName(CharacterSetConversions::String<wchar_t>(dir.path())).FILE_SIZE(), -1);
    EXPECT_EQ(MFileName(dir.wfile("missing")).FILE_SIZE(), -1);
    EXPECT_EQ(MFileName(L"bare").GET_DIRECTORY().GET(), L".");
    EXPECT_EQ(MFileName(L"/a/b/c.kvx").GET_DIRECTORY().GET(), L"/a/b");
}

TEST(MFileName, RenameOverKeepsTheTargetsPermissions) {
    TempDir dir;
    kvxtest::WriteFile(dir.file("target"), {1});
    ASSERT_EQ(::chmod(dir.file("target").c_str(), 0640), 0);
    MFileName staged;
    const std::wstring here = CharacterSetConversions::String<wchar_t>(dir.path());
    ASSERT_TRUE(staged.SET_TEMP_NAME(here.c_str(), nullptr, nullptr, 1, 0));
    kvxtest::WriteFile(staged.Native(), {2, 3});
    ASSERT_TRUE(staged.RENAME_OVER(MFileName(dir.wfile("target"))));
    struct stat st;
    ASSERT_EQ(::stat(dir.file("target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(kvxtest::ReadFile(dir.file("target")), (kvxtest::Bytes{2, 3}));
    EXPECT_EQ(dir.CountFiles(), 1u);
}

}  // namespace
