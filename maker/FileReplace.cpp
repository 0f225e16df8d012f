#include "maker/FileReplace.h"

#include <fcntl.h>
#include <unistd.h>

#include "maker/MFile.h"

bool CanReplaceFile(const MFileName& target) {
    if (!target.EXISTS()) return true;
    const int fd = ::open(target.Native().c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool ReplaceFile(const MFileName& target, const std::function<bool(MFile&)>& write,
                 bool executable) {
    MFileName staging;
    if (!staging.SET_TEMP_NAME(target.GET_DIRECTORY(), L".kvx-", L".part", 0xFFFF, 0)) return false;
    // Declared before the file so that the file is closed before it is removed.
    RemoveFileOnExit removeStaging(staging);
    MFile out(0x40000);
    if (!out.OPEN_WRITE(staging.GET())) return false;
    const bool written = write(out) && out.SYNC();
    if (!out.CLOSE() || !written || !staging.RENAME_OVER(target, executable)) return false;
    removeStaging.Keep();
    return true;
}
