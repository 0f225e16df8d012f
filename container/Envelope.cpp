#include "container/Envelope.h"

#include <cstring>
#include <ostream>

#include "container/FileStreamDevices.h"
#include "maker/Crypt.h"
#include "maker/FileReplace.h"
#include "maker/MFile.h"
#include "maker/MTag.h"
#include "maker/Text.h"
#include "maker/Zip.h"

namespace KvxInternal {

namespace {

constexpr std::size_t kClearBytes = 4;  // the magic word stays readable
constexpr std::size_t kHeadBytes = 8;   // written and read around the codec directly
constexpr std::size_t kMemoryInitial = 0x10000;

// Runs a cleanup when the scope is left, unless dismissed.
template <class F>
class Cleanup {
public:
    explicit Cleanup(F f) : f_(std::move(f)) {}
    ~Cleanup() {
        if (armed_) f_();
    }
    void Dismiss() { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

// The first kHeadBytes bytes of the outer chunk header that MTag::WRITE writes for the
// name-only tag `kind` (name, version byte, flags byte), taken from MTag itself.
struct ContainerHead {
    const char* kind;
    std::uint8_t bytes[kHeadBytes];
};

ContainerHead WrittenHead(const char* kind) {
    ContainerHead head{kind, {}};
    MFileMemory file;
    MTag tag(kind);
    const bool ok = file.OPEN_WRITE(MTag::kHeaderSize, nullptr) && tag.WRITE(file) &&
                    file.CHANGE_MODE(1) && file.READ(head.bytes, kHeadBytes) == kHeadBytes;
    if (!ok) head.kind = nullptr;  // matches nothing
    return head;
}

// "QORCOM" or "QORZIP" when `bytes` start with the whole 8-byte head of that outer tag, or null.
// Comparing all 8 bytes (not only the name) makes a wrong key pass for a right one only once
// in 2^32 keys.
const char* ContainerKind(const std::uint8_t* bytes) {
    static const ContainerHead heads[] = {WrittenHead("QORCOM"), WrittenHead("QORZIP")};
    for (const ContainerHead& head : heads)
        if (head.kind != nullptr && std::memcmp(bytes, head.bytes, kHeadBytes) == 0)
            return head.kind;
    return nullptr;
}

// True when obfuscating a file with `key` leaves its bytes 4 and 5 ("IP" of "QORZIP") as they
// are.
bool KeepsBytes4And5(std::uint32_t key) {
    unsigned char mark[2] = {'I', 'P'};
    Encrypt(mark, sizeof mark, key);
    return mark[0] == 'I' && mark[1] == 'P';
}

}  // namespace

MFileName KvxFileName(const std::wstring& fileName) {
    MFileName name(fileName);
    name.SET_EXT_PART(L".kvx", 256);
    return name;
}

std::uint32_t RawPasswordKey(const std::wstring& password) {
    return StringToULong(CharacterSetConversions::String<char>(password));
}

std::uint32_t PasswordKey(const std::wstring& password) {
    // Each step keeps bytes 4 and 5 with a chance of 1 in 65,536, so the loop ends at once for
    // all but a few keys and after one more step for nearly all of those.
    std::uint32_t key = RawPasswordKey(password);
    while (KeepsBytes4And5(key))
        key = RemixKey(key);
    return key;
}

bool WriteEnvelope(const std::wstring& fileName, const std::wstring& password,
                   const ContentWriter& writeContent,
                   const std::function<bool(std::uint64_t)>& acceptSize) {
    const MFileName target = KvxFileName(fileName);
    if (!CanReplaceFile(target)) return false;

    MFileName payloadName;
    if (!payloadName.SET_TEMP_NAME(nullptr, nullptr, nullptr, 0xFFFF, 0)) return false;
    MFile payload(kContainerFileBuffer);
    Cleanup removePayload([&] {
        payload.CLOSE();
        payloadName.REMOVE();
    });
    if (!payload.OPEN_WRITE(payloadName.GET())) return false;
    payload.SET_BUFFER_SIZE(kPayloadWriteBuffer);

    MTag outer("QORZIP");
    if (!outer.WRITE(payload) || !writeContent(payload)) return false;
    if (!payload.CHANGE_MODE(1) || payload.GET_RESULT() == MFile::MFILE_WRITE_FAILED) return false;
    char head[kHeadBytes];
    if (payload.READ(head, kHeadBytes) != kHeadBytes) return false;

    MFileMemory memory;
    if (!memory.OPEN_WRITE(kMemoryInitial, nullptr)) return false;
    {
        const auto out = MakeSinkStream(&memory);
        const auto in = MakeSourceStream(&payload);
        out->write(head, kHeadBytes);
        if (!Compress(*out, *in, kContainerLevel)) return false;
        if (!out->flush()) return false;
    }
    if (memory.GET_RESULT() == MFile::MFILE_WRITE_FAILED) return false;

    if (!password.empty()) {
        Encrypt(memory.GET_BUFFER() + kClearBytes,
                static_cast<std::size_t>(memory.SIZE()) - kClearBytes, PasswordKey(password));
    }
    if (acceptSize && !acceptSize(static_cast<std::uint64_t>(memory.SIZE()))) return false;
    return memory.CHANGE_MODE(1) &&
           ReplaceFile(target, [&](MFile& out) { return out.COPY(memory); });
}

int ReadEnvelope(const std::wstring& fileName, const std::wstring& password, MFile& temp,
                 MFileName& tempName) {
    MFile source(kContainerFileBuffer);
    if (!source.OPEN_READ(fileName)) return kEnvelopeCannotOpen;
    char magic[kClearBytes];
    if (source.READ(magic, kClearBytes) != kClearBytes || !source.REWIND())
        return kEnvelopeBadMagic;
    if (std::memcmp(magic, "QORC", 4) != 0 && std::memcmp(magic, "QORZ", 4) != 0)
        return kEnvelopeBadMagic;

    const std::int64_t size = source.SIZE();
    MFileMemory memory;
    if (!memory.OPEN_WRITE(static_cast<std::size_t>(size), nullptr)) return kEnvelopeFailed;
    if (!memory.COPY(source)) return kEnvelopeFailed;
    // Both magic tests look at 8 bytes; shorter content is not a KVX file.
    if (memory.SIZE() < static_cast<std::int64_t>(kHeadBytes)) return kEnvelopeBadMagic;

    std::uint8_t* bytes = memory.GET_BUFFER();
    const char* kind = ContainerKind(bytes);
    if (kind == nullptr) {
        // Obfuscated: bytes 4 to 7 must decrypt to the rest of the outer tag's head. The
        // password's raw key is tried second, for files that earlier versions wrote with a raw
        // key that PasswordKey now re-mixes (their bytes 4 and 5 are clear, 6 and 7 are not).
        const std::uint32_t keys[] = {PasswordKey(password), RawPasswordKey(password)};
        std::uint32_t key = keys[0];
        for (std::uint32_t candidate : keys) {
            std::uint8_t head[kHeadBytes];
            std::memcpy(head, bytes, kHeadBytes);
            Decrypt(head + kClearBytes, kHeadBytes - kClearBytes, candidate);
            kind = ContainerKind(head);
            if (kind != nullptr) {
                key = candidate;
                std::memcpy(bytes, head, kHeadBytes);
                break;
            }
        }
        if (kind == nullptr) return kEnvelopeWrongPassword;
        Decrypt(bytes + kHeadBytes, static_cast<std::size_t>(memory.SIZE()) - kHeadBytes, key);
    }

    MFileName name;
    if (!name.SET_TEMP_NAME(nullptr, nullptr, nullptr, 0xFFFF, 0)) return kEnvelopeTempFileFailed;
    Cleanup removeTemp([&] {
        temp.CLOSE();
        name.REMOVE();
    });
    if (!temp.OPEN_WRITE(name.GET())) return kEnvelopeTempFileFailed;

    memory.CHANGE_MODE(1);
    bool unpacked;
    if (std::strcmp(kind, "QORZIP") == 0) {
        char head[kHeadBytes];
        memory.READ(head, kHeadBytes);
        const std::uint64_t limit =
            kMaxExpansionFloor + kMaxExpansionRatio * static_cast<std::uint64_t>(size);
        const auto out = MakeSinkStream(&temp);
        const auto in = MakeSourceStream(&memory);
        out->write(head, kHeadBytes);
        unpacked = Decompress(*out, *in, limit);
        unpacked = out->flush() && unpacked;
    } else {
        unpacked = temp.COPY(memory);
    }
    memory.CLOSE();
    source.CLOSE();
    // A temporary file that could not take the content says nothing about the KVX file: a
    // full or limited disk is reported as such, before any verdict on the data (decompression
    // stops at the first write that fails).
    const auto writeFailed = [&] { return temp.GET_RESULT() == MFile::MFILE_WRITE_FAILED; };
    if (writeFailed()) return kEnvelopeTempFileFailed;
    if (!unpacked) return kEnvelopeDecompressFailed;
    if (!temp.CHANGE_MODE(1))
        return writeFailed() ? kEnvelopeTempFileFailed : kEnvelopeDecompressFailed;

    MTag outer;
    if (!outer.READ(temp) || !(outer == MTag("QORCOM") || outer == MTag("QORZIP")))
        return kEnvelopeFailed;
    MTag next;
    const bool skip = next.READ(temp) && next.HasName("MFILEP");
    if (!temp.SEEK(skip ? next.GetEndPosition() : kPayloadStart)) return kEnvelopeFailed;

    removeTemp.Dismiss();
    tempName = name;
    return kEnvelopeOk;
}

}  // namespace KvxInternal
