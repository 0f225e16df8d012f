// Test helpers for object streams: write objects, read them back, and look inside chunks.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "maker/MFile.h"
#include "maker/MTag.h"
#include "persistence/ObjectStream.h"
#include "support/TestFiles.h"

namespace kvxtest {

inline Bytes Written(const std::vector<KvxInternal::MDynBase*>& objects) {
    MFileMemory f;
    f.OPEN_WRITE(0, nullptr);
    for (KvxInternal::MDynBase* o : objects) {
        if (!o->Write(f)) ADD_FAILURE() << "Write failed";
    }
    return Bytes(f.GET_BUFFER(), f.GET_BUFFER() + f.SIZE());
}

struct Outcome {
    std::vector<std::int32_t> results;
    std::vector<KvxInternal::MHDynBase> objects;  // the objects read, in order
};

// Reads until the end or a failure, as the importer does (continuing after failures when asked).
inline Outcome ReadAll(const Bytes& bytes, bool pastFailures = false) {
    MFileMemory f;
    f.OPEN_READ(bytes.data(), bytes.size());
    Outcome out;
    KvxInternal::MHDynBase handle;
    for (int guard = 0; guard < 1000; ++guard) {
        const std::int32_t r = KvxInternal::ReadNextObject(handle, f);
        out.results.push_back(r);
        if (r == KvxInternal::READ_OK) out.objects.push_back(handle);
        if (r == KvxInternal::READ_END || (r == KvxInternal::READ_FAILED && !pastFailures)) break;
    }
    return out;
}

// The chunk tree as "NAME .INNER ..DEEPER " (one dot per level).
inline std::string Layout(const Bytes& bytes) {
    MFileMemory f;
    f.OPEN_READ(bytes.data(), bytes.size());
    MTagList tree;
    if (!tree.BUILD_TAG_TREE(f, 0, f.SIZE())) return "<not chunks>";
    std::string names;
    for (std::size_t i = 0; i < tree.Count(); ++i)
        names += std::string(tree.DepthAt(i) - 1, '.') + tree.At(i).GetName() + " ";
    return names;
}

// The contents of the `skip`-th chunk named `name` at tree depth `depth` (1: top level).
inline Bytes Contents(const Bytes& bytes, const char* name, int depth, unsigned skip = 0) {
    MFileMemory f;
    f.OPEN_READ(bytes.data(), bytes.size());
    MTagList tree;
    if (!tree.BUILD_TAG_TREE(f, 0, f.SIZE())) return {};
    for (std::size_t i = 0; i < tree.Count(); ++i) {
        const MTag& t = tree.At(i);
        if (tree.DepthAt(i) != depth || !t.HasName(name) || skip-- > 0) continue;
        const auto* b = bytes.data() + t.GetContentsPosition();
        return Bytes(b, b + t.GetContentsLength());
    }
    return {};
}

// The "DATA" chunk of the top-level object: its own fields.
inline Bytes OwnData(const Bytes& bytes) {
    return Contents(bytes, "DATA", 2);
}

inline Bytes FloatBytes(std::initializer_list<float> values) {
    Bytes out(4 * values.size());
    std::memcpy(out.data(), values.begin(), out.size());
    return out;
}

}  // namespace kvxtest
