#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "container/Envelope.h"
#include "maker/Crypt.h"
#include "maker/MFile.h"
#include "maker/MTag.h"
#include "maker/Zip.h"
#include "support/TestFiles.h"

namespace {

using namespace KvxInternal;
using kvxtest::Bytes;
using kvxtest::Chunk;
using kvxtest::Concat;

const Bytes kHeader = {'Q', 'O', 'R', 'Z', 'I', 'P', 2, 0, 0, 0, 0, 0};

// Builds a container by hand: compressed ("QORZIP") or not ("QORCOM"), obfuscated with `key`
// when there is one.
Bytes MakeFileWithKey(const Bytes& payload, bool compressed, std::optional<std::uint32_t> key) {
    Bytes file(payload.begin(), payload.begin() + std::min<std::size_t>(8, payload.size()));
    if (compressed) {
        std::istringstream in(std::string(payload.begin() + 8, payload.end()));
        std::ostringstream out;
        EXPECT_TRUE(Compress(out, in, kContainerLevel));
        const std::string packed = out.str();
        file.insert(file.end(), packed.begin(), packed.end());
    } else {
        file = payload;
    }
    if (key) Encrypt(file.data() + 4, file.size() - 4, *key);
    return file;
}

Bytes MakeFile(const Bytes& payload, bool compressed, const std::wstring& password) {
    return MakeFileWithKey(
        payload, compressed,
        password.empty() ? std::nullopt : std::optional<std::uint32_t>(PasswordKey(password)));
}

// True when obfuscating with `key` leaves file bytes 4 and 5 ("IP") as they are.
bool KeepsBytes4And5(std::uint32_t key) {
    unsigned char mark[2] = {'I', 'P'};
    Encrypt(mark, 2, key);
    return mark[0] == 'I' && mark[1] == 'P';
}

// The first three passwords "pw0", "pw1", ... whose raw key keeps file bytes 4 and 5 (about one
// key in 65,536 does; the first such password is "pw7978"). Searched once.
const std::vector<std::wstring>& PasswordsWhoseRawKeyKeepsBytes4And5() {
    static const std::vector<std::wstring> found = [] {
        std::vector<std::wstring> passwords;
        for (int i = 0; i < 2000000 && passwords.size() < 3; ++i) {
            const std::wstring password = L"pw" + std::to_wstring(i);
            if (KeepsBytes4And5(RawPasswordKey(password))) passwords.push_back(password);
        }
        return passwords;
    }();
    return found;
}

class Envelope : public testing::Test {
protected:
    Envelope() { ::mkdir(tmp_.c_str(), 0700); }
    ~Envelope() override {
        // No operation may leave a temporary file behind.
        EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 0u);
    }

    bool Write(const std::string& name, const std::wstring& password, const Bytes& content) {
        return WriteEnvelope(dir_.wfile(name), password, [&](MFile& f) {
            return f.WRITE(content.data(), content.size()) == content.size();
        });
    }

    // Reads a KVX file; on success gives the payload from the reader's position on.
    int Read(const std::string& name, const std::wstring& password, Bytes* rest = nullptr,
             std::int64_t* position = nullptr) {
        MFile temp(kContainerFileBuffer);
        MFileName tempName;
        const int result = ReadEnvelope(dir_.wfile(name), password, temp, tempName);
        if (result != kEnvelopeOk) {
            EXPECT_FALSE(temp.IS_OPEN());
            return result;
        }
        EXPECT_EQ(tempName.Native().rfind(tmp_, 0), 0u);
        if (position) *position = temp.TELL();
        if (rest) {
            rest->resize(static_cast<std::size_t>(temp.SIZE() - temp.TELL()));
            EXPECT_EQ(temp.READ(rest->data(), rest->size()), rest->size());
        }
        temp.CLOSE();
        EXPECT_TRUE(tempName.REMOVE());
        return result;
    }

    int ReadBytes(const Bytes& file, const std::wstring& password = L"") {
        kvxtest::WriteFile(dir_.file("in.kvx"), file);
        return Read("in.kvx", password);
    }

    kvxtest::TempDir dir_;
    std::string tmp_ = dir_.file("tmp");
    kvxtest::ScopedEnv env_{"TMPDIR", tmp_};
};

TEST_F(Envelope, RoundTrips) {
    const Bytes payloads[] = {{}, Chunk("OBJ", 2, {1, 2, 3}), kvxtest::RandomBytes(2 << 20, 11)};
    for (const std::wstring password : {L"", L"pw", L"p\u00e4ssw\u00f6rd"}) {
        for (const Bytes& content : payloads) {
            ASSERT_TRUE(Write("out.stl", password, content));
            const Bytes file = kvxtest::ReadFile(dir_.file("out.kvx"));
            ASSERT_GE(file.size(), 12u);
            EXPECT_EQ(Bytes(file.begin(), file.begin() + 4),
                      Bytes(kHeader.begin(), kHeader.begin() + 4));
            EXPECT_EQ(Bytes(file.begin() + 4, file.begin() + 8) ==
                          Bytes(kHeader.begin() + 4, kHeader.begin() + 8),
                      password.empty());
            Bytes rest;
            std::int64_t position = 0;
            ASSERT_EQ(Read("out.kvx", password, &rest, &position), kEnvelopeOk);
            EXPECT_EQ(position, kPayloadStart);
            EXPECT_EQ(rest, content);
        }
    }
    EXPECT_EQ(dir_.CountFiles(), 1u);  // out.kvx, nothing staged beside it
}

TEST_F(Envelope, ReaderResultCodes) {
    const Bytes good = Concat({kHeader, Chunk("OBJ", 2, {9})});
    Bytes badVersion = good;
    badVersion[6] = 3;  // the version byte is part of the magic: the file looks obfuscated
    // A frame without content: the payload ends inside the outer chunk header.
    const Bytes headOnly = MakeFile(Bytes(kHeader.begin(), kHeader.begin() + 8), true, L"");
    Bytes garbled = MakeFile(good, true, L"");
    garbled.back() ^= 1;
    const Bytes whole = MakeFile(good, true, L"");
    const Bytes truncated(whole.begin(), whole.end() - 3);
    const struct {
        const char* what;
        Bytes file;
        std::wstring password;
        int expected;
    } cases[] = {
        {"empty", {}, L"", kEnvelopeBadMagic},
        {"three bytes", {'Q', 'O', 'R'}, L"", kEnvelopeBadMagic},
        {"other magic", {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I'}, L"", kEnvelopeBadMagic},
        {"shorter than 8", {'Q', 'O', 'R', 'Z', 'I', 'P', 2}, L"", kEnvelopeBadMagic},
        {"wrong password", MakeFile(good, true, L"right"), L"wrong", kEnvelopeWrongPassword},
        {"no password", MakeFile(good, true, L"right"), L"", kEnvelopeWrongPassword},
        {"corrupt payload", garbled, L"", kEnvelopeDecompressFailed},
        {"truncated payload", truncated, L"", kEnvelopeDecompressFailed},
        {"other version byte", MakeFile(badVersion, true, L""), L"", kEnvelopeWrongPassword},
        {"no outer tag", headOnly, L"", kEnvelopeFailed},
        {"uncompressed",
         MakeFile(
             Concat({Bytes{'Q', 'O', 'R', 'C', 'O', 'M', 2, 0, 0, 0, 0, 0}, Chunk("OBJ", 2, {})}),
             false, L""),
         L"", kEnvelopeOk},
        {"good", MakeFile(good, true, L"pw"), L"pw", kEnvelopeOk},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadBytes(c.file, c.password), c.expected) << c.what;
    EXPECT_EQ(Read("missing.kvx", L""), kEnvelopeCannotOpen);
    {
        kvxtest::ScopedEnv noTmp("TMPDIR", "/nonexistent/kvx-tmp");
        EXPECT_EQ(ReadBytes(MakeFile(good, true, L"")), kEnvelopeTempFileFailed);
    }
}

// Passwords whose raw key would leave bytes 4 and 5 clear get a re-mixed key, so their files
// do not look unobfuscated; files that earlier versions wrote with the raw key still read.
TEST_F(Envelope, PasswordsWhoseRawKeyKeepsBytes4And5RoundTrip) {
    const std::vector<std::wstring>& passwords = PasswordsWhoseRawKeyKeepsBytes4And5();
    ASSERT_EQ(passwords.size(), 3u);
    EXPECT_EQ(passwords[0], L"pw7978");
    const Bytes content = Concat({Chunk("OBJ", 2, kvxtest::RandomBytes(3000, 5))});
    for (const std::wstring& password : passwords) {
        const std::uint32_t key = PasswordKey(password);
        EXPECT_NE(key, RawPasswordKey(password));
        EXPECT_FALSE(KeepsBytes4And5(key));
        EXPECT_EQ(PasswordKey(password), key);  // deterministic

        ASSERT_TRUE(Write("new.stl", password, content));
        const Bytes file = kvxtest::ReadFile(dir_.file("new.kvx"));
        ASSERT_GE(file.size(), 8u);
        EXPECT_NE(Bytes(file.begin() + 4, file.begin() + 6), (Bytes{'I', 'P'}));
        Bytes rest;
        ASSERT_EQ(Read("new.kvx", password, &rest), kEnvelopeOk);
        EXPECT_EQ(rest, content);

        const Bytes legacy =
            MakeFileWithKey(Concat({kHeader, content}), true, RawPasswordKey(password));
        ASSERT_EQ(Bytes(legacy.begin(), legacy.begin() + 6),
                  Bytes(kHeader.begin(), kHeader.begin() + 6));
        kvxtest::WriteFile(dir_.file("old.kvx"), legacy);
        ASSERT_EQ(Read("old.kvx", password, &rest), kEnvelopeOk);
        EXPECT_EQ(rest, content);
    }
}

// Every other password keeps the key it always had, so files written before read the same.
TEST(PasswordKey, KeysThatChangeBytes4And5AreKept) {
    EXPECT_EQ(PasswordKey(L"pw"), StringToULong("pw"));
    EXPECT_EQ(PasswordKey(L"p\u00e4ss"), StringToULong("p\xc3\xa4ss"));
    for (int i = 0; i < 1000; ++i) {
        const std::wstring password = L"k" + std::to_wstring(i);
        if (!KeepsBytes4And5(RawPasswordKey(password))) {
            EXPECT_EQ(PasswordKey(password), RawPasswordKey(password)) << i;
        }
    }
}

// A wrong password is refused even when its key restores bytes 4 and 5: the reader checks the
// whole head of the outer tag.
TEST_F(Envelope, WrongPasswordsAreRefused) {
    const Bytes payload = Concat({kHeader, Chunk("OBJ", 2, {1, 2, 3})});
    const Bytes file = MakeFile(payload, true, L"right");
    // A password whose key decrypts bytes 4 and 5 of this file to "IP" (about one in 65,536).
    std::wstring nearMiss;
    for (int i = 0; i < 2000000 && nearMiss.empty(); ++i) {
        const std::wstring guess = L"guess" + std::to_wstring(i);
        Bytes head(file.begin() + 4, file.begin() + 8);
        Decrypt(head.data(), 4, PasswordKey(guess));
        if (head[0] == 'I' && head[1] == 'P') nearMiss = guess;
    }
    ASSERT_FALSE(nearMiss.empty());
    const std::vector<std::wstring>& keepers = PasswordsWhoseRawKeyKeepsBytes4And5();
    ASSERT_GE(keepers.size(), 2u);
    // An earlier version's file under one such password, opened with another: that key also
    // leaves bytes 4 and 5 as they are.
    const Bytes legacy = MakeFileWithKey(payload, true, RawPasswordKey(keepers[0]));
    const struct {
        const char* what;
        const Bytes& file;
        std::wstring password;
    } cases[] = {
        {"other password", file, L"wrong"},
        {"no password", file, L""},
        {"differs by case", file, L"Right"},
        {"restores bytes 4 and 5", file, nearMiss},
        {"old file, other password", legacy, keepers[1]},
        {"old file, no password", legacy, L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadBytes(c.file, c.password), kEnvelopeWrongPassword) << c.what;
    EXPECT_EQ(ReadBytes(file, L"right"), kEnvelopeOk);
    EXPECT_EQ(ReadBytes(legacy, keepers[0]), kEnvelopeOk);
    // A file without a password reads whatever password is given.
    EXPECT_EQ(ReadBytes(MakeFile(payload, true, L""), L"any"), kEnvelopeOk);
}

// An uncompressed file is copied as it stands (it would not decompress), encrypted or not.
TEST_F(Envelope, UncompressedFilesAreCopied) {
    const Bytes payload = Concat({Bytes{'Q', 'O', 'R', 'C', 'O', 'M', 2, 0, 0, 0, 0, 0},
                                  Chunk("OBJ", 2, kvxtest::RandomBytes(5000, 2))});
    for (const std::wstring password : {L"", L"pw"}) {
        kvxtest::WriteFile(dir_.file("com.kvx"), MakeFile(payload, false, password));
        Bytes rest;
        ASSERT_EQ(Read("com.kvx", password, &rest), kEnvelopeOk);
        EXPECT_EQ(rest, Bytes(payload.begin() + 12, payload.end()));
    }
}

TEST_F(Envelope, LeadingMfilepChunkIsSkipped) {
    const Bytes object = Chunk("OBJ", 2, {5, 6});
    const struct {
        Bytes second;
        std::int64_t position;
    } cases[] = {
        {Chunk("MFILEP", 7, {1, 2, 3, 4}), 12 + 16},  // any version
        {Chunk("MFILEP", 0, {}), 12 + 12},
        {Chunk("MFILE", 2, {1}), 12},
        {{}, 12},
    };
    for (const auto& c : cases) {
        kvxtest::WriteFile(dir_.file("p.kvx"),
                           MakeFile(Concat({kHeader, c.second, object}), true, L""));
        Bytes rest;
        std::int64_t position = 0;
        ASSERT_EQ(Read("p.kvx", L"", &rest, &position), kEnvelopeOk);
        EXPECT_EQ(position, c.position);
        EXPECT_EQ(Bytes(rest.end() - static_cast<std::ptrdiff_t>(object.size()), rest.end()),
                  object);
    }
}

TEST_F(Envelope, EveryTruncatedPrefixFails) {
    for (const std::wstring password : {L"", L"pw"}) {
        ASSERT_TRUE(Write("t", password, Concat({Chunk("A", 2, {1, 2, 3}), Chunk("B", 2, {})})));
        const Bytes file = kvxtest::ReadFile(dir_.file("t.kvx"));
        for (std::size_t cut = 0; cut < file.size(); ++cut)
            EXPECT_NE(ReadBytes(Bytes(file.begin(), file.begin() + cut), password), kEnvelopeOk)
                << cut;
    }
}

// A temporary file that cannot take the content (a full disk, here a file size limit) is no
// verdict on the KVX file. Run in a child process, as the limit holds for the whole process.
TEST_F(Envelope, TemporaryFileFailuresAreNotCorruptData) {
    Bytes big(200000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    for (const std::wstring password : {L"", L"pw"}) {
        ASSERT_TRUE(Write("big", password, Concat({Chunk("A", 2, big)})));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{64 * 1024, 64 * 1024};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::_exit(Read("big.kvx", password));
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), kEnvelopeTempFileFailed);
        EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 0u);
        EXPECT_EQ(Read("big.kvx", password), kEnvelopeOk);  // without the limit
    }
}

TEST_F(Envelope, FailedWriteKeepsTheExistingTarget) {
    const Bytes before = {'o', 'l', 'd'};
    kvxtest::WriteFile(dir_.file("keep.kvx"), before);
    EXPECT_FALSE(WriteEnvelope(dir_.wfile("keep.stl"), L"", [](MFile& f) {
        f.WRITE("partial", 7);
        return false;
    }));
    EXPECT_EQ(kvxtest::ReadFile(dir_.file("keep.kvx")), before);
    // A target that cannot be a file is refused before anything is written.
    ::mkdir(dir_.file("isdir.kvx").c_str(), 0700);
    EXPECT_FALSE(Write("isdir", L"", {1}));
    EXPECT_FALSE(Write("no/such/dir/x", L"", {1}));
    EXPECT_EQ(dir_.CountFiles(), 1u);
    // A successful write replaces the target.
    ASSERT_TRUE(Write("keep", L"", {1}));
    EXPECT_NE(kvxtest::ReadFile(dir_.file("keep.kvx")), before);
}

TEST(KvxFileName, ExtensionBecomesKvx) {
    EXPECT_EQ(KvxFileName(L"part.stl").GET(), L"part.kvx");
    EXPECT_EQ(KvxFileName(L"part").GET(), L"part.kvx");
    EXPECT_EQ(KvxFileName(L"a.b.c").GET(), L"a.b.kvx");
}

}  // namespace
