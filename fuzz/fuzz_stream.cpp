// Fuzz target: the object stream reader over arbitrary payload bytes, with every class the
// library registers and the framework's test classes, in one read scope with the budget of a
// file of that size, as an import reads; whatever reads is written back.
#include <cstdint>
#include <vector>

#include "maker/MFile.h"
#include "persistence/ObjectStream.h"
#include "persistence/StreamScope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MFileMemory file;
    file.OPEN_READ(data, size);
    std::vector<KvxInternal::MHDynBase> kept;
    KvxInternal::StreamScope scope(file, MReadBudget::LimitFor(size));
    KvxInternal::MHDynBase handle;
    // Each call either consumes a chunk or ends the stream, so this loop is bounded by the size.
    for (std::size_t calls = 0; calls <= size / 12 + 1; ++calls) {
        const std::int32_t result = KvxInternal::ReadNextObject(handle, file);
        if (result == KvxInternal::READ_OK) kept.push_back(handle);
        if (result == KvxInternal::READ_END) break;
    }
    for (auto& object : kept) {
        MFileMemory out;
        out.OPEN_WRITE(0, nullptr);
        object->Write(out);
    }
    return 0;
}
