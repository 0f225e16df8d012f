// Fuzz target: the KVX envelope reader over arbitrary file contents.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "container/Envelope.h"
#include "maker/MFile.h"
#include "maker/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/kvx-fuzz-" + std::to_string(::getpid());
    }();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    // The first byte picks the password, so both the clear and the obfuscated paths are reached.
    const std::wstring password = size > 0 && (data[0] & 1) ? L"pw" : L"";
    MFile temp(KvxInternal::kContainerFileBuffer);
    MFileName tempName;
    const int result = KvxInternal::ReadEnvelope(CharacterSetConversions::String<wchar_t>(path),
                                                 password, temp, tempName);
    if (result == KvxInternal::kEnvelopeOk) {
        temp.CLOSE();
        tempName.REMOVE();
    } else if (temp.IS_OPEN()) {
        std::abort();  // failures must not leave the temporary file open
    }
    ::unlink(path.c_str());
    return 0;
}
