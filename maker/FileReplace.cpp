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

bool ReplaceFile(const MFileName& target, const std::function<bool(MFile&)>& write) {
    MFileName staging;
    if (!staging.SET_TEMP_NAME(target.GET_DIRECTORY(), L".kvx-", L".part", 0xFFFF, 0)) return false;
    bool renamed = false;
    {
        MFile out(0x40000);
        if (out.OPEN_WRITE(staging.GET())) {
            const bool written = write(out) && out.SYNC();
            renamed = out.CLOSE() && written && staging.RENAME_OVER(target);
        }
    }
    if (!renamed) staging.REMOVE();
    return renamed;
}
