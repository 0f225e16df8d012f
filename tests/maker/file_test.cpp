#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <random>

#include "maker/FileReplace.h"
#include "maker/MFile.h"
#include "support/TestFiles.h"

namespace {

using kvxtest::Bytes;
using kvxtest::TempDir;

// Opens a disk or memory file for writing, so that every test runs on both kinds.
struct FileKind {
    const char* name;
    bool memory;
    friend void PrintTo(const FileKind& k, std::ostream* os) { *os << k.name; }
};

class FileKinds : public testing::TestWithParam<FileKind> {
protected:
    std::unique_ptr<MFile> OpenWrite() {
        if (GetParam().memory) {
            auto f = std::make_unique<MFileMemory>();
            EXPECT_TRUE(f->OPEN_WRITE(16, nullptr));
            return f;
        }
        auto f = std::make_unique<MFile>(4096);
        EXPECT_TRUE(f->OPEN_WRITE(dir_.wfile("f.bin")));
        return f;
    }
    static Bytes Content(MFile& f) {
        EXPECT_TRUE(f.CHANGE_MODE(1));
        Bytes out(static_cast<std::size_t>(f.SIZE()));
        EXPECT_EQ(f.READ(out.data(), out.size()), out.size());
        return out;
    }
    TempDir dir_;
};

TEST_P(FileKinds, TypedArraysAreLittleEndianAndReadBack) {
    auto f = OpenWrite();
    const char c[2] = {'a', 'b'};
    const signed char sc = -5;
    const unsigned char uc = 200;
    const std::uint16_t u16 = 0xBEEF;
    const std::int32_t i32 = -2;
    const std::uint32_t u32 = 0xDEADBEEF;
    const float fl = 1.5f;
    const bool bo[2] = {true, false};
    EXPECT_EQ(f->WRITE(c, 2), 2u);
    EXPECT_EQ(f->WRITE(&sc, 1), 1u);
    EXPECT_EQ(f->WRITE(&uc, 1), 1u);
    EXPECT_EQ(f->WRITE(&u16, 1), 1u);
    EXPECT_EQ(f->WRITE(&i32, 1), 1u);
    EXPECT_EQ(f->WRITE(&u32, 1), 1u);
    EXPECT_EQ(f->WRITE(&fl, 1), 1u);
    EXPECT_EQ(f->WRITE(bo, 2), 2u);

    const Bytes expected = {'a',  'b',  0xFB, 200,  0xEF, 0xBE, 0xFE, 0xFF, 0xFF, 0xFF,
                            0xEF, 0xBE, 0xAD, 0xDE, 0x00, 0x00, 0xC0, 0x3F, 1,    0};
    EXPECT_EQ(Content(*f), expected);

    ASSERT_TRUE(f->REWIND());
    char c2[2];
    signed char sc2;
    unsigned char uc2;
    std::uint16_t u16b;
    std::int32_t i32b;
    std::uint32_t u32b;
    float flb;
    bool bo2[2];
    EXPECT_EQ(f->READ(c2, 2), 2u);
    EXPECT_EQ(f->READ(&sc2, 1), 1u);
    EXPECT_EQ(f->READ(&uc2, 1), 1u);
    EXPECT_EQ(f->READ(&u16b, 1), 1u);
    EXPECT_EQ(f->READ(&i32b, 1), 1u);
    EXPECT_EQ(f->READ(&u32b, 1), 1u);
    EXPECT_EQ(f->READ(&flb, 1), 1u);
    EXPECT_EQ(f->READ(bo2, 2), 2u);
    EXPECT_EQ(std::memcmp(c, c2, 2), 0);
    EXPECT_EQ(sc2, sc);
    EXPECT_EQ(uc2, uc);
    EXPECT_EQ(u16b, u16);
    EXPECT_EQ(i32b, i32);
    EXPECT_EQ(u32b, u32);
    EXPECT_EQ(flb, fl);
    EXPECT_TRUE(bo2[0]);
    EXPECT_FALSE(bo2[1]);
    EXPECT_TRUE(f->FEOF());
    // At the end every read is short.
    EXPECT_EQ(f->READ(&u32b, 1), 0u);
}

TEST_P(FileKinds, ShortReadsAndOddBytes) {
    auto f = OpenWrite();
    const Bytes bytes = {7, 1, 2, 3, 4, 5};
    f->WRITE(bytes.data(), bytes.size());
    ASSERT_TRUE(f->CHANGE_MODE(1));
    bool b;
    EXPECT_EQ(f->READ(&b, 1), 1u);
    EXPECT_TRUE(b);  // any non-zero byte is true
    std::uint32_t v = 0xFFFFFFFF;
    EXPECT_EQ(f->READ_AS_BYTE_ARRAY(&v, 3), 3u);
    EXPECT_EQ(v, 0x030201u);
    EXPECT_EQ(f->READ_AS_BYTE_ARRAY(&v, 5), 0u);
    std::uint32_t two[2];
    EXPECT_EQ(f->READ(two, 2), 0u);  // only 2 bytes remain: no whole element
    EXPECT_FALSE(f->SEEK(7));        // reading files refuse positions past the end
    EXPECT_TRUE(f->SEEK(6));
    EXPECT_TRUE(f->FEOF());
    EXPECT_FALSE(f->SEEK(-1));
    EXPECT_TRUE(f->SEEK(-2, MFile::SEEK_FROM_END));
    EXPECT_EQ(f->TELL(), 4);
}

TEST_P(FileKinds, ReadLimitStopsTypedReadsAndNests) {
    auto f = OpenWrite();
    const std::uint32_t words[4] = {1, 2, 3, 4};
    f->WRITE(words, 4);
    ASSERT_TRUE(f->CHANGE_MODE(1));
    std::uint32_t got[4] = {};
    {
        const MFile::Limit outer(*f, 12);
        {
            const MFile::Limit inner(*f, 6);  // only narrows
            EXPECT_EQ(f->REMAINING(), 6);
            EXPECT_EQ(f->READ(got, 2), 1u);
            const MFile::Limit wider(*f, 100);  // cannot widen
            EXPECT_EQ(f->REMAINING(), 0);       // 2 bytes were read, 0 of the 6 are a whole element
        }
        EXPECT_EQ(f->REMAINING(), 6);
        EXPECT_EQ(f->READ(got, 2), 1u);
        // The clamped read above still moved the position to byte 6: bytes 6 to 9 now.
        EXPECT_EQ(got[0], 0x00030000u);
    }
    EXPECT_EQ(f->REMAINING(), 4);
}

// Bools are bytes like any other: a read limit stops them too.
TEST_P(FileKinds, ReadLimitStopsBoolReads) {
    auto f = OpenWrite();
    const Bytes bytes = {1, 0, 1, 1};
    f->WRITE(bytes.data(), bytes.size());
    ASSERT_TRUE(f->CHANGE_MODE(1));
    bool got[3] = {false, true, false};
    {
        const MFile::Limit limit(*f, 2);
        EXPECT_EQ(f->READ(got, 3), 2u);
        EXPECT_TRUE(got[0]);
        EXPECT_FALSE(got[1]);
        EXPECT_FALSE(got[2]);  // untouched
        EXPECT_EQ(f->READ(got, 1), 0u);
        EXPECT_EQ(f->TELL(), 2);
    }
    EXPECT_EQ(f->READ(got, 3), 2u);  // the limit is gone: the bytes behind it read
}

// Random writes, seeks back (as chunk headers are completed) and reads, against a plain model.
TEST_P(FileKinds, MatchesModelAcrossBufferWindows) {
    std::mt19937 rng(42);
    for (int round = 0; round < 20; ++round) {
        auto f = OpenWrite();
        Bytes model;
        std::size_t pos = 0;
        for (int op = 0; op < 60; ++op) {
            const int kind = rng() % 4;
            if (kind < 3) {
                const Bytes data = kvxtest::RandomBytes(rng() % (3 * 4096), rng());
                ASSERT_EQ(f->WRITE(data.data(), data.size()), data.size());
                if (model.size() < pos + data.size()) model.resize(pos + data.size());
                std::memcpy(model.data() + pos, data.data(), data.size());
                pos += data.size();
            } else {
                pos = model.empty() ? 0 : rng() % (model.size() + 100);
                ASSERT_TRUE(f->SEEK(static_cast<std::int64_t>(pos)));
                if (model.size() < pos) model.resize(pos);  // a gap reads as zeros
            }
            ASSERT_EQ(f->TELL(), static_cast<std::int64_t>(pos));
        }
        // A write that only seeked past the end leaves nothing behind it.
        ASSERT_TRUE(f->SEEK(0, MFile::SEEK_FROM_END));
        const std::int64_t size = f->SIZE();
        ASSERT_LE(size, static_cast<std::int64_t>(model.size()));
        model.resize(static_cast<std::size_t>(size));
        ASSERT_TRUE(f->CHANGE_MODE(1));
        for (int op = 0; op < 60; ++op) {
            const std::size_t at = rng() % (model.size() + 1);
            const std::size_t n = rng() % (2 * 4096 + 10);
            ASSERT_TRUE(f->SEEK(static_cast<std::int64_t>(at)));
            Bytes got(n);
            const std::size_t expect = std::min(n, model.size() - at);
            ASSERT_EQ(f->READ(got.data(), n), expect);
            ASSERT_EQ(0, std::memcmp(got.data(), model.data() + at, expect));
            ASSERT_EQ(f->FEOF(), at + expect == model.size());
        }
    }
}

TEST_P(FileKinds, CopyAppendsFromTheSourcePosition) {
    const Bytes data = kvxtest::RandomBytes(700000, 3);
    MFileMemory source;
    ASSERT_TRUE(source.OPEN_READ(data.data(), data.size()));
    ASSERT_TRUE(source.SEEK(100));
    auto f = OpenWrite();
    f->WRITE(data.data(), 10);
    ASSERT_TRUE(f->COPY(source));
    EXPECT_TRUE(source.FEOF());
    Bytes expected(data.begin(), data.begin() + 10);
    expected.insert(expected.end(), data.begin() + 100, data.end());
    EXPECT_EQ(Content(*f), expected);

    // And back: a file as the source of a copy into memory.
    ASSERT_TRUE(f->SEEK(5));
    MFileMemory target;
    ASSERT_TRUE(target.OPEN_WRITE(0, nullptr));
    ASSERT_TRUE(target.COPY(*f));
    EXPECT_EQ(Content(target), Bytes(expected.begin() + 5, expected.end()));
}

INSTANTIATE_TEST_SUITE_P(All, FileKinds,
                         testing::Values(FileKind{"disk", false}, FileKind{"memory", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MFile, FailedWriteReports29UntilReopened) {
    MFile f(4096);
    ASSERT_TRUE(f.OPEN_WRITE(L"/dev/full"));
    const Bytes small(100, 1);
    EXPECT_EQ(f.WRITE(small.data(), small.size()), small.size());  // buffered
    EXPECT_FALSE(f.FLUSH());
    EXPECT_EQ(f.GET_RESULT(), MFile::MFILE_WRITE_FAILED);
    const Bytes big(1 << 20, 2);
    EXPECT_LT(f.WRITE(big.data(), big.size()), big.size());
    std::uint32_t v;
    EXPECT_EQ(f.READ(&v, 1), 0u);  // wrong mode, but the write failure stays the result
    EXPECT_EQ(f.GET_RESULT(), MFile::MFILE_WRITE_FAILED);
    f.CLOSE();
    TempDir dir;
    ASSERT_TRUE(f.OPEN_WRITE(dir.wfile("ok")));
    EXPECT_EQ(f.GET_RESULT(), MFile::MFILE_OK);
}

TEST(MFile, OpenRefusesMissingFilesAndDirectories) {
    TempDir dir;
    MFile f;
    EXPECT_FALSE(f.OPEN_READ(dir.wfile("missing")));
    EXPECT_FALSE(f.OPEN_READ(CharacterSetConversions::String<wchar_t>(dir.path())));
    EXPECT_FALSE(f.OPEN_WRITE(dir.wfile("no/such/dir")));
    EXPECT_FALSE(f.IS_OPEN());
    ASSERT_TRUE(f.OPEN_WRITE(dir.wfile("n\u00e4me")));
    EXPECT_EQ(f.GET_FILENAME(), dir.wfile("n\u00e4me"));
    EXPECT_TRUE(f.CLOSE());
    EXPECT_FALSE(f.CLOSE());
}

TEST(MFile, LargeBufferKeepsPendingBytesUntilFlush) {
    TempDir dir;
    MFile f;
    ASSERT_TRUE(f.OPEN_WRITE(dir.wfile("big")));
    ASSERT_TRUE(f.SET_BUFFER_SIZE(0xA00000));
    const Bytes data = kvxtest::RandomBytes(3 << 20, 9);
    ASSERT_EQ(f.WRITE(data.data(), data.size()), data.size());
    EXPECT_EQ(f.SIZE(), static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(f.FLUSH());
    EXPECT_EQ(kvxtest::ReadFile(dir.file("big")), data);
    EXPECT_TRUE(f.CHANGE_MODE(0));  // back to writing, at the end
    EXPECT_EQ(f.TELL(), static_cast<std::int64_t>(data.size()));
}

// An exception from the content writer passes on; the target stays and nothing is staged.
TEST(ReplaceFile, ThrowingWriterLeavesTheTargetAndNoStagedFile) {
    TempDir dir;
    const Bytes before = {'o', 'l', 'd'};
    kvxtest::WriteFile(dir.file("t.kvx"), before);
    EXPECT_THROW(ReplaceFile(MFileName(dir.wfile("t.kvx")),
                             [](MFile& out) -> bool {
                                 out.WRITE("new", 3);
                                 throw std::bad_alloc();
                             }),
                 std::bad_alloc);
    EXPECT_EQ(kvxtest::ReadFile(dir.file("t.kvx")), before);
    EXPECT_EQ(dir.CountFiles(), 1u);
    // Without the exception the same writer replaces the file.
    ASSERT_TRUE(ReplaceFile(MFileName(dir.wfile("t.kvx")),
                            [](MFile& out) { return out.WRITE("new", 3) == 3; }));
    EXPECT_EQ(kvxtest::ReadFile(dir.file("t.kvx")), (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(dir.CountFiles(), 1u);
}

}  // namespace
