// Chunk headers (MTag) and lists and trees of chunks (MTagList).
//
// A chunk is a 12-byte header followed by its contents:
//   offset 0, 6 bytes: name, ASCII, padded with NUL bytes
//   offset 6, 1 byte:  version
//   offset 7, 1 byte:  flags
//   offset 8, 4 bytes: contents length in bytes, unsigned little-endian
// WRITE writes the header with length 0; UPDATE_SKIP, after the contents, stores the length.
// A header that is written and never completed (the container's outer header) keeps length 0,
// so the chunks behind it read as its siblings.
//
// Reading is safe on untrusted input: a header whose contents would run past the end of the
// file or of the enclosing chunk is an error, lists and trees hold at most kMaxNodes chunks and
// trees are explored at most kMaxDepth levels deep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class MFile;

class MTag {
public:
    static constexpr std::size_t kHeaderSize = 12;
    static constexpr std::uint8_t kDefaultVersion = 2;
    static constexpr std::uint8_t kDefaultFlags = 0;

    MTag() { INIT(""); }
    explicit MTag(const char* name) { INIT(name); }
    MTag(const char* name, std::uint8_t version, std::uint8_t flags) { INIT(name, version, flags); }

    // Sets the name (at most 6 characters are kept) with the default version and flags, or with
    // the given ones. Positions and length are cleared.
    void INIT(const char* name) { INIT(name, kDefaultVersion, kDefaultFlags); }
    void INIT(const char* name, std::uint8_t version, std::uint8_t flags);

    // Writes the header at the file's position and remembers where.
    bool WRITE(MFile& file);
    // After the contents: stores their length in the header written by WRITE and returns to the
    // end of the contents. False when nothing was written, or the contents exceed 4 GiB - 1.
    bool UPDATE_SKIP(MFile& file);
    // Reads the header at the file's position and leaves the file at the contents. False, with
    // the tag unchanged, on a short header or contents that end past `limit` or the file's end.
    bool READ(MFile& file);
    bool READ(MFile& file, std::int64_t limit);

    // Same name (up to 6 characters), version and flags.
    bool operator==(const MTag& other) const;
    // The name compared up to 6 characters, as C strings.
    bool HasName(const char* name) const;

    const char* GetName() const { return name_; }
    std::uint8_t GetVersion() const { return version_; }
    std::uint8_t GetFlags() const { return flags_; }
    std::int64_t GetHeaderPosition() const { return headerPos_; }
    std::int64_t GetContentsPosition() const { return contentsPos_; }
    std::uint64_t GetContentsLength() const { return length_; }
    std::int64_t GetEndPosition() const {
        return contentsPos_ + static_cast<std::int64_t>(length_);
    }

private:
    char name_[7] = {};
    std::uint8_t version_ = kDefaultVersion;
    std::uint8_t flags_ = kDefaultFlags;
    std::int64_t headerPos_ = -1;
    std::int64_t contentsPos_ = -1;
    std::uint32_t length_ = 0;
};

class MReadBudget;

// A list of the chunks inside a chunk. While a file is read under a budget (maker/ReadBudget.h),
// the list's nodes are charged to it as they are listed and given back when the list is cleared
// or destroyed.
class MTagList {
public:
    static constexpr std::size_t kMaxNodes = std::size_t{1} << 20;
    static constexpr int kMaxDepth = 16;

    MTagList() = default;
    ~MTagList() { Clear(); }
    MTagList(const MTagList&) = delete;
    MTagList& operator=(const MTagList&) = delete;

    // Lists the chunks directly inside `chunk` (all levels when `recursive`). The contents must
    // consist of whole chunks; otherwise false.
    bool BUILD_TAG_LIST(MFile& file, const MTag& chunk, bool recursive);
    // Builds the tree of chunks in [start, end). The range must consist of whole chunks; inside
    // each of them, contents that consist of whole chunks become its children, other contents
    // make it a leaf.
    bool BUILD_TAG_TREE(MFile& file, std::int64_t start, std::int64_t end);

    // Finds the first chunk after `start` (null: from the first) in depth-first order, at most
    // `maxDepth` levels down (0: any depth), whose name is `wanted`'s. On success `wanted` takes
    // the chunk's header data, the file is left at its contents when `seek` is set, and the
    // list's entry is returned; otherwise null.
    const MTag* FIND_TAG(const MTag* start, MTag& wanted, int maxDepth, bool seek);
    // As FIND_TAG, but searches inside `parent` (null: the whole list) and passes over the first
    // `skip` matches.
    const MTag* FIND_TAG_EX(const MTag* parent, MTag& wanted, int maxDepth, unsigned skip,
                            bool seek);

    std::size_t Count() const { return nodes_.size(); }
    const MTag& At(std::size_t i) const { return nodes_[i].tag; }
    int DepthAt(std::size_t i) const { return nodes_[i].depth; }

private:
    struct Node {
        MTag tag;
        int depth;               // 1 for the chunks at the top of the list
        std::size_t subtreeEnd;  // one past the last node inside this chunk
    };

    bool Parse(std::int64_t start, std::int64_t end, int depth, bool recursive);
    bool Start(MFile& file);
    void Clear();
    std::size_t IndexOf(const MTag* tag) const;
    const MTag* Find(std::size_t from, std::size_t to, int baseDepth, MTag& wanted, int maxDepth,
                     unsigned skip, bool seek);

    MFile* file_ = nullptr;
    std::vector<Node> nodes_;
    MReadBudget* budget_ = nullptr;
    std::uint64_t charged_ = 0;
};
