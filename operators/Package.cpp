#include "operators/Package.h"

#include <cstdio>
#include <cstring>

#include "maker/FileReplace.h"
#include "maker/MFile.h"

namespace KvxInternal {

std::int64_t FindMarkerEnd(const std::uint8_t* bytes, std::size_t size) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (c != kPackageMarker[k] && k > 0) k = 0;  // compare this byte again from the start
        if (c == kPackageMarker[k] && ++k == kPackageMarker.size())
            return static_cast<std::int64_t>(i);
    }
    return -1;
}

PackageResult BuildPackage(const MFileName& stubPath, const MFileName& kvxName,
                           const MFileName& packageName) {
    const std::int64_t stubSize = stubPath.FILE_SIZE();
    if (stubSize <= 0 || stubSize >= kMaxStubSize || !CanReplaceFile(packageName))
        return PackageResult::StubUnusable;
    MFileMemory stub;
    MFile stubFile(0x40000);
    if (!stub.OPEN_WRITE(static_cast<std::size_t>(stubSize), nullptr) ||
        !stubFile.OPEN_READ(stubPath.GET()) || !stub.COPY(stubFile) || stub.SIZE() != stubSize)
        return PackageResult::StubUnusable;
    stubFile.CLOSE();

    std::uint8_t* bytes = stub.GET_BUFFER();
    const std::int64_t p = FindMarkerEnd(bytes, static_cast<std::size_t>(stubSize));
    // The size text takes the 10 bytes from p + 2 on; a stub without room for them is refused.
    if (p < 0 || p + 11 >= stubSize) return PackageResult::NoMarker;
    char text[11];
    std::snprintf(text, sizeof text, " %8d", static_cast<int>(stubSize));
    std::memcpy(bytes + p + 2, text, 10);

    stub.CHANGE_MODE(1);
    const bool written = ReplaceFile(
        packageName,
        [&](MFile& out) {
            MFile kvx(0x40000);
            return out.COPY(stub) && kvx.OPEN_READ(kvxName.GET()) && out.COPY(kvx);
        },
        /*executable=*/true);
    return written ? PackageResult::Written : PackageResult::WriteFailed;
}

}  // namespace KvxInternal
