#include "persistence/ObjectStream.h"

#include "persistence/Identity.h"
#include "persistence/StreamScope.h"

namespace KvxInternal {

namespace detail {

// Positions the file at the header of the base's chunk when the list has one.
bool ReadBase(MFile& file, MTagList& list, const MClassInfo& base) {
    if (base.tag[0] == '\0') return false;  // untagged bases have nothing to read
    MTag wanted(base.tag);
    const MTag* found = list.FIND_TAG(nullptr, wanted, 0, false);
    return found != nullptr && file.SEEK(found->GetHeaderPosition());
}

}  // namespace detail

namespace {

// Reads the identity inside a class chunk: the first inner chunk, or else a "MUID" chunk
// anywhere inside whose "DATA" chunk holds the words.
bool ReadIdentity(MFile& file, const MTag& classTag, MUIDValue& id) {
    MTag first;
    if (!first.READ(file, classTag.GetEndPosition())) return false;
    std::uint32_t words[2];
    if (first.HasName("MUID")) {
        if (first.GetVersion() != 2 || first.GetContentsLength() < sizeof words) return false;
    } else {
        MTagList tree;
        MTag muid("MUID", 2, 0);
        if (!tree.BUILD_TAG_TREE(file, classTag.GetContentsPosition(), classTag.GetEndPosition()) ||
            tree.FIND_TAG(nullptr, muid, 0, true) == nullptr)
            return false;
        MTagList inner;
        MTag data("DATA", 2, 0);
        if (!inner.BUILD_TAG_LIST(file, muid, false) ||
            inner.FIND_TAG(nullptr, data, 0, true) == nullptr ||
            !file.SEEK(data.GetContentsPosition()))
            return false;
        if (data.GetVersion() != 2 || data.GetContentsLength() < sizeof words) return false;
    }
    if (file.READ(words, 2) != 2) return false;
    id = MUIDValue{words[0], words[1]};
    return true;
}

}  // namespace

bool ReadObject(MHDynBase& handle, MFile& file, const MClassInfo& info, const MTag& classTag) {
    StreamScope* scope = StreamScope::Of(file);
    if (FindByInfo(&info, &MUID::ClassInfo(), SEARCH_BASES) == nullptr) {
        if (scope != nullptr)
            handle = scope->Create(info);
        else
            handle.AdoptNew(info);
        if (!handle) return false;
    } else {
        MUIDValue id;
        if (!ReadIdentity(file, classTag, id)) return false;
        handle = GetOrCreate(file, id, info);
        if (!handle) return false;
    }
    if (!file.SEEK(classTag.GetHeaderPosition()) || !handle->Read(file)) {
        handle.Reset();
        return false;
    }
    return true;
}

std::int32_t ReadNextObject(MHDynBase& handle, MFile& file) {
    handle.Reset();
    const std::int64_t remaining = file.SIZE() - file.TELL();
    MTag tag;
    if (!tag.READ(file)) {
        if (remaining <= 0) return READ_END;
        // Bytes that are no whole chunk: the stream is damaged.
        file.SEEK(0, MFile::SEEK_FROM_END);
        return READ_FAILED;
    }
    const std::int64_t end = tag.GetEndPosition();
    const MClassInfo* info = FindByTag(tag.GetName());
    if (info == nullptr || info->factory == nullptr) {
        file.SEEK(end);
        return READ_SKIPPED;
    }
    const bool ok = ReadObject(handle, file, *info, tag);
    if (!ok) handle.Reset();
    // Whatever the object's Read consumed, the next chunk starts at the end of this one.
    file.SEEK(end);
    return ok ? READ_OK : READ_FAILED;
}

}  // namespace KvxInternal
