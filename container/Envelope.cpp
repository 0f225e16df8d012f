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

// "QORZIP" or "QORCOM" at the start of `bytes`, or null.
const char* ContainerKind(const std::uint8_t* bytes) {
    for (const char* kind : {"QORCOM", "QORZIP"})
        if (std::memcmp(bytes, kind, 6) == 0) return kind;
    return nullptr;
}

}  // namespace

MFileName KvxFileName(const std::wstring& fileName) {
    MFileName name(fileName);
    name.SET_EXT_PART(L".kvx", 256);
    return name;
}

std::uint32_t PasswordKey(const std::wstring& password) {
    return StringToULong(CharacterSetConversions::String<char>(password));
}

bool WriteEnvelope(const std::wstring& fileName, const std::wstring& password,
                   const ContentWriter& writeContent) {
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
        const std::uint32_t key = PasswordKey(password);
        Decrypt(bytes + kClearBytes, kHeadBytes - kClearBytes, key);
        kind = ContainerKind(bytes);
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
    if (!unpacked || !temp.CHANGE_MODE(1) || temp.GET_RESULT() == MFile::MFILE_WRITE_FAILED)
        return kEnvelopeDecompressFailed;

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
