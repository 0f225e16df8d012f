// The object stream: class chunks written and read with one template, and the reader that walks
// a payload one top-level chunk at a time.
//
// Class chunk of an object of class K (nested form):
//   K's tag [ "MUID" identity chunk (only when K is the most-derived class and identified),
//             the class chunks of K's registered bases that have a tag, in order,
//             "DATA" (version and flags: K's registered ones) holding K's own fields ]
// Flat form (read only, where a class allows it): a class chunk with a version byte below 2
// holds K's own fields directly.
//
// ReadNextObject is safe on untrusted input: it never reads outside a chunk it has validated
// (field readers run under a read limit at the end of their chunk), and after every result the
// file stands at a defined position (see ReadResult).
#pragma once

#include <cstdint>

#include "maker/MFile.h"
#include "maker/MTag.h"
#include "persistence/DynBase.h"

namespace KvxInternal {

enum ReadResult : std::int32_t {
    READ_OK = 1,        // the handle holds the object; the file is at the end of its chunk
    READ_SKIPPED = -1,  // unknown or abstract class; the file is at the end of the chunk
    READ_END = -3,      // nothing follows: the file is at its end
    READ_FAILED = -4,   // the chunk is damaged or its object could not be read; the file is at
                        // the end of the chunk (or of the file, when no header could be read)
};

// Reads the top-level chunk at the file's position. The handle is emptied first.
std::int32_t ReadNextObject(MHDynBase& handle, MFile& file);

// Creates (or finds, by identity) the object of class `info` whose class chunk header `classTag`
// has just been read, and reads it.
bool ReadObject(MHDynBase& handle, MFile& file, const MClassInfo& info, const MTag& classTag);

namespace detail {
template <class K, class... Bases>
bool WriteBases(K& self, MFile& file, TypeList<Bases...>) {
    return (static_cast<Bases&>(self).Bases::Write(file) && ...);
}

bool ReadBase(MFile& file, MTagList& list, const MClassInfo& base);

template <class K, class... Bases>
bool ReadBases(K& self, MFile& file, MTagList& list, TypeList<Bases...>) {
    // A base chunk that is present is read (failure fails the read); a missing one is passed over.
    return ((!ReadBase(file, list, Bases::ClassInfo()) ||
             static_cast<Bases&>(self).Bases::Read(file)) &&
            ...);
}
}  // namespace detail

// The Write template of class K: class chunk, identity, bases, then "DATA" with the fields that
// `writeFields(file)` writes.
template <class K, class Fields>
bool WriteClassChunk(K& self, MFile& file, Fields&& writeFields) {
    const MClassInfo& info = K::ClassInfo();
    MTag classTag(info.tag);
    MTag dataTag("DATA", info.version, info.flags);
    return classTag.WRITE(file) && self.WriteId(file, info) &&
           detail::WriteBases(self, file, typename K::RegisteredBases{}) && dataTag.WRITE(file) &&
           writeFields(file) && dataTag.UPDATE_SKIP(file) && classTag.UPDATE_SKIP(file);
}

// The Read template of class K, called at K's class chunk header. `readFields(file, version,
// flags)` reads K's own fields with the version and flags of the chunk that holds them.
template <class K, class Fields>
bool ReadClassChunk(K& self, MFile& file, Fields&& readFields) {
    const MClassInfo& info = K::ClassInfo();
    MTag tag;
    if (!tag.READ(file)) return false;
    if (tag.GetVersion() < 2) {
        const MFile::Limit limit(file, tag.GetEndPosition());
        return readFields(file, tag.GetVersion(), tag.GetFlags());
    }
    MTagList list;
    if (!list.BUILD_TAG_LIST(file, tag, false)) return false;
    if (!detail::ReadBases(self, file, list, typename K::RegisteredBases{})) return false;
    MTag data("DATA", info.version, info.flags);
    if (list.FIND_TAG(nullptr, data, 0, true) == nullptr) return true;
    const MFile::Limit limit(file, data.GetEndPosition());
    return readFields(file, data.GetVersion(), data.GetFlags());
}

}  // namespace KvxInternal

// The members of a class whose Write and Read follow the templates (KVX_CLASS_CHUNKS): the two
// slots, CopyFrom, and the class's own field writer and reader.
#define KVX_CLASS_CHUNK_MEMBERS                                             \
public:                                                                     \
    bool Write(MFile& file) override;                                       \
    bool Read(MFile& file) override;                                        \
    void CopyFrom(::KvxInternal::MDynBase& source) override;                \
                                                                            \
protected:                                                                  \
    bool WriteFields(MFile& file);                                          \
    bool ReadFields(MFile& file, std::uint8_t version, std::uint8_t flags); \
                                                                            \
private:

// Write and Read of a class K that follows the templates with its own
//   bool WriteFields(MFile&) and bool ReadFields(MFile&, std::uint8_t version, std::uint8_t flags).
#define KVX_CLASS_CHUNKS(K)                                                                      \
    bool K::Write(MFile& file) {                                                                 \
        return ::KvxInternal::WriteClassChunk(*this, file,                                       \
                                              [this](MFile& f) { return WriteFields(f); });      \
    }                                                                                            \
    bool K::Read(MFile& file) {                                                                  \
        return ::KvxInternal::ReadClassChunk(                                                    \
            *this, file,                                                                         \
            [this](MFile& f, std::uint8_t v, std::uint8_t fl) { return ReadFields(f, v, fl); }); \
    }
