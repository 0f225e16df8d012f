#include "maker/MTag.h"

#include <algorithm>
#include <cstring>

#include "maker/MFile.h"
#include "maker/ReadBudget.h"

void MTag::INIT(const char* name, std::uint8_t version, std::uint8_t flags) {
    std::memset(name_, 0, sizeof name_);
    if (name != nullptr) std::strncpy(name_, name, 6);
    version_ = version;
    flags_ = flags;
    headerPos_ = contentsPos_ = -1;
    length_ = 0;
}

bool MTag::WRITE(MFile& file) {
    const std::int64_t at = file.TELL();
    std::uint8_t header[kHeaderSize] = {};
    std::memcpy(header, name_, 6);
    header[6] = version_;
    header[7] = flags_;
    if (file.WRITE(header, kHeaderSize) != kHeaderSize) return false;
    headerPos_ = at;
    contentsPos_ = at + static_cast<std::int64_t>(kHeaderSize);
    length_ = 0;
    return true;
}

bool MTag::UPDATE_SKIP(MFile& file) {
    const std::int64_t end = file.TELL();
    if (headerPos_ < 0 || end < contentsPos_ || end - contentsPos_ > 0xFFFFFFFFll) return false;
    const auto length = static_cast<std::uint32_t>(end - contentsPos_);
    if (!file.SEEK(headerPos_ + 8) || file.WRITE(&length, 1) != 1 || !file.SEEK(end)) return false;
    length_ = length;
    return true;
}

bool MTag::READ(MFile& file) {
    return READ(file, file.SIZE());
}

bool MTag::READ(MFile& file, std::int64_t limit) {
    const std::int64_t at = file.TELL();
    std::uint8_t header[kHeaderSize];
    if (file.READ(header, kHeaderSize) != kHeaderSize) return false;
    const std::uint32_t length = std::uint32_t{header[8]} | std::uint32_t{header[9]} << 8 |
                                 std::uint32_t{header[10]} << 16 | std::uint32_t{header[11]} << 24;
    const std::int64_t contents = at + static_cast<std::int64_t>(kHeaderSize);
    if (contents + static_cast<std::int64_t>(length) >
        std::min(limit, file.TELL() + file.REMAINING()))
        return false;
    std::memcpy(name_, header, 6);
    name_[6] = '\0';
    version_ = header[6];
    flags_ = header[7];
    headerPos_ = at;
    contentsPos_ = contents;
    length_ = length;
    return true;
}

bool MTag::HasName(const char* name) const {
    return name != nullptr && std::strncmp(name_, name, 6) == 0;
}

bool MTag::operator==(const MTag& other) const {
    return HasName(other.name_) && version_ == other.version_ && flags_ == other.flags_;
}

// --- MTagList ----------------------------------------------------------------------------------

bool MTagList::Parse(std::int64_t start, std::int64_t end, int depth, bool recursive) {
    const std::size_t mark = nodes_.size();
    auto fail = [&] {
        nodes_.resize(mark);
        return false;
    };
    for (std::int64_t pos = start; pos < end;) {
        if (end - pos < static_cast<std::int64_t>(MTag::kHeaderSize)) return fail();
        if (nodes_.size() >= kMaxNodes || !file_->SEEK(pos)) return fail();
        if (budget_ != nullptr) {
            if (!budget_->Take(sizeof(Node))) return fail();
            charged_ += sizeof(Node);
        }
        MTag tag;
        if (!tag.READ(*file_, end)) return fail();
        const std::size_t index = nodes_.size();
        nodes_.push_back({tag, depth, 0});
        if (recursive && depth < kMaxDepth && tag.GetContentsLength() >= MTag::kHeaderSize) {
            // Contents that are not a sequence of whole chunks make this chunk a leaf.
            Parse(tag.GetContentsPosition(), tag.GetEndPosition(), depth + 1, true);
        }
        nodes_[index].subtreeEnd = nodes_.size();
        pos = tag.GetEndPosition();
    }
    return true;
}

void MTagList::Clear() {
    nodes_.clear();
    if (budget_ != nullptr) budget_->Give(charged_);
    budget_ = nullptr;
    charged_ = 0;
}

bool MTagList::Start(MFile& file) {
    Clear();
    file_ = &file;
    budget_ = ReadBudgetOf(file);
    return true;
}

bool MTagList::BUILD_TAG_LIST(MFile& file, const MTag& chunk, bool recursive) {
    Start(file);
    if (chunk.GetContentsPosition() < 0) return false;
    return Parse(chunk.GetContentsPosition(), chunk.GetEndPosition(), 1, recursive);
}

bool MTagList::BUILD_TAG_TREE(MFile& file, std::int64_t start, std::int64_t end) {
    Start(file);
    if (start < 0 || end < start) return false;
    return Parse(start, end, 1, true);
}

std::size_t MTagList::IndexOf(const MTag* tag) const {
    for (std::size_t i = 0; i < nodes_.size(); ++i)
        if (&nodes_[i].tag == tag) return i;
    return nodes_.size();
}

const MTag* MTagList::Find(std::size_t from, std::size_t to, int baseDepth, MTag& wanted,
                           int maxDepth, unsigned skip, bool seek) {
    for (std::size_t i = from; i < to; ++i) {
        const Node& node = nodes_[i];
        if (maxDepth > 0 && node.depth - baseDepth > maxDepth) continue;
        if (!node.tag.HasName(wanted.GetName())) continue;
        if (skip > 0) {
            --skip;
            continue;
        }
        if (seek && (file_ == nullptr || !file_->SEEK(node.tag.GetContentsPosition())))
            return nullptr;
        wanted = node.tag;
        return &node.tag;
    }
    return nullptr;
}

const MTag* MTagList::FIND_TAG(const MTag* start, MTag& wanted, int maxDepth, bool seek) {
    const std::size_t from = start == nullptr ? 0 : IndexOf(start) + 1;
    return Find(std::min(from, nodes_.size()), nodes_.size(), 0, wanted, maxDepth, 0, seek);
}

const MTag* MTagList::FIND_TAG_EX(const MTag* parent, MTag& wanted, int maxDepth, unsigned skip,
                                  bool seek) {
    if (parent == nullptr) return Find(0, nodes_.size(), 0, wanted, maxDepth, skip, seek);
    const std::size_t p = IndexOf(parent);
    if (p == nodes_.size()) return nullptr;
    return Find(p + 1, nodes_[p].subtreeEnd, nodes_[p].depth, wanted, maxDepth, skip, seek);
}
