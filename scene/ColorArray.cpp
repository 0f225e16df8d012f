#include "scene/ColorArray.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "maker/MFile.h"
#include "maker/ReadBudget.h"
#include "persistence/ObjectStream.h"

namespace KvxInternal {

KVX_REGISTER_CLASS(IVColorArray, "COLOR", 2, 1, &Make<IVColorArray>)

namespace {

constexpr std::int32_t kNoChild = -1;

// A node of a code tree; leaves have no children, internal nodes both.
struct CodeNode {
    std::uint16_t value = 0;
    std::int32_t left = kNoChild;
    std::int32_t right = kNoChild;
};

struct Code {
    std::uint64_t bits = 0;  // bit i is the i-th step from the root (1: right)
    std::uint16_t length = 0;
};

// Builds the code tree of `values` and returns its leaves depth first, left first, with their
// codes. Empty for no values.
std::vector<std::pair<std::uint16_t, Code>> BuildCode(const std::vector<std::uint16_t>& values) {
    std::vector<std::uint32_t> counts(IVColorArray::kMaxDistinct, 0);
    for (std::uint16_t v : values)
        ++counts[v];

    std::vector<CodeNode> nodes;
    std::vector<std::uint64_t> weights;
    std::vector<std::int32_t> leaves;  // queue of leaves, by weight, then by value
    for (std::uint32_t v = 0; v < counts.size(); ++v) {
        if (counts[v] == 0) continue;
        leaves.push_back(static_cast<std::int32_t>(nodes.size()));
        nodes.push_back(CodeNode{static_cast<std::uint16_t>(v)});
        weights.push_back(counts[v]);
    }
    if (leaves.empty()) return {};
    std::stable_sort(leaves.begin(), leaves.end(),
                     [&](std::int32_t a, std::int32_t b) { return weights[a] < weights[b]; });

    // Internal nodes are made with non-decreasing weights, so they form a second sorted queue;
    // every leaf entered the queue before them, so a leaf goes first among equal weights.
    std::vector<std::int32_t> internals;
    internals.reserve(leaves.size());
    std::size_t nextLeaf = 0, nextInternal = 0;
    const auto take = [&] {
        if (nextLeaf < leaves.size() &&
            (nextInternal == internals.size() ||
             weights[leaves[nextLeaf]] <= weights[internals[nextInternal]]))
            return leaves[nextLeaf++];
        return internals[nextInternal++];
    };
    for (std::size_t left = leaves.size(); left > 1; --left) {
        const std::int32_t a = take();
        const std::int32_t b = take();
        internals.push_back(static_cast<std::int32_t>(nodes.size()));
        nodes.push_back(CodeNode{0, a, b});
        weights.push_back(weights[a] + weights[b]);
    }

    std::vector<std::pair<std::uint16_t, Code>> out;
    out.reserve(leaves.size());
    std::vector<std::pair<std::int32_t, Code>> stack{
        {static_cast<std::int32_t>(nodes.size()) - 1, Code{}}};
    while (!stack.empty()) {
        const auto [index, code] = stack.back();
        stack.pop_back();
        const CodeNode& node = nodes[index];
        if (node.left == kNoChild) {
            out.emplace_back(node.value, code);
            continue;
        }
        if (code.length >= IVColorArray::kMaxCodeLength) return {};  // cannot happen in range
        const auto length = static_cast<std::uint16_t>(code.length + 1);
        stack.push_back({node.right, Code{code.bits | std::uint64_t{1} << code.length, length}});
        stack.push_back({node.left, Code{code.bits, length}});
    }
    return out;
}

// Collects bits from bit 0 of each byte upward and writes the bytes in blocks.
class BitWriter {
public:
    explicit BitWriter(MFile& file) : file_(file) {}

    bool Put(std::uint64_t bits, std::uint16_t length) {
        if (length > 32) return Put(bits & 0xFFFFFFFFu, 32) && Put(bits >> 32, length - 32);
        pending_ |= bits << pendingCount_;
        pendingCount_ += length;
        for (; pendingCount_ >= 8; pendingCount_ -= 8, pending_ >>= 8)
            if (!Emit(static_cast<std::uint8_t>(pending_))) return false;
        return true;
    }

    // The partial byte, or one zero byte when nothing was written at all.
    bool Finish() {
        if ((pendingCount_ > 0 || !wroteAny_) && !Emit(static_cast<std::uint8_t>(pending_)))
            return false;
        return Flush();
    }

private:
    bool Emit(std::uint8_t byte) {
        wroteAny_ = true;
        block_[used_++] = byte;
        return used_ < block_.size() || Flush();
    }
    bool Flush() {
        const std::size_t n = used_;
        used_ = 0;
        return file_.WRITE(block_.data(), n) == n;
    }

    MFile& file_;
    std::array<std::uint8_t, 4096> block_{};
    std::size_t used_ = 0;
    std::uint64_t pending_ = 0;
    std::uint16_t pendingCount_ = 0;
    bool wroteAny_ = false;
};

// Rebuilds the tree from its leaves' code lengths, in file order, into `nodes` (root last): a
// new entry merges with its predecessor (as the right child) while their depths are equal. One
// pass over a stack gives the same tree as repeated front-to-back scans of the list for
// neighbouring equal depths, in linear time. False unless one entry, at depth 0, remains.
bool RebuildTree(const std::vector<std::uint16_t>& records, std::vector<CodeNode>& nodes) {
    const std::size_t leafCount = records.size() / 2;
    nodes.reserve(2 * leafCount - 1);
    struct Entry {
        std::int32_t node;
        std::int32_t depth;
    };
    std::vector<Entry> stack;
    stack.reserve(leafCount);
    for (std::size_t i = 0; i < leafCount; ++i) {
        const std::uint16_t length = records[2 * i + 1];
        if (length > IVColorArray::kMaxCodeLength) return false;
        stack.push_back({static_cast<std::int32_t>(nodes.size()), length});
        nodes.push_back(CodeNode{records[2 * i]});
        while (stack.size() >= 2 && stack[stack.size() - 2].depth == stack.back().depth) {
            const Entry right = stack.back();
            stack.pop_back();
            Entry& left = stack.back();
            nodes.push_back(CodeNode{0, left.node, right.node});
            left = {static_cast<std::int32_t>(nodes.size()) - 1, left.depth - 1};
        }
    }
    return stack.size() == 1 && stack.back().depth == 0;
}

}  // namespace

void IVColorArray::SetColorCount(std::int32_t n) {
    colorCount_ = n;
    uniform_ = false;
    colorValues_.clear();
    if (n >= 0 && n <= kMaxColorCount) colorValues_.reserve(static_cast<std::size_t>(n));
}

void IVColorArray::Clear() {
    colorValues_.clear();
    colorCount_ = 0;
    uniform_ = false;
}

void IVColorArray::Materialize() const {
    if (!uniform_) return;
    colorValues_.assign(static_cast<std::size_t>(colorCount_), uniformValue_);
    uniform_ = false;
}

bool IVColorArray::Write(MFile& file) {
    Materialize();
    if (colorCount_ < 0 || colorCount_ > kMaxColorCount ||
        static_cast<std::size_t>(colorCount_) != colorValues_.size())
        return false;
    return WriteClassChunk(*this, file, [this](MFile& f) { return WritePayload(f); });
}

bool IVColorArray::WritePayload(MFile& file) const {
    const auto leaves = BuildCode(colorValues_);
    if (leaves.empty() != colorValues_.empty()) return false;
    const auto distinct = static_cast<std::uint32_t>(leaves.size());
    if (file.WRITE(&distinct, 1) != 1) return false;

    std::vector<std::uint16_t> records;
    records.reserve(2 * leaves.size());
    std::vector<Code> table(kMaxDistinct);
    std::vector<bool> present(kMaxDistinct, false);
    for (const auto& [value, code] : leaves) {
        records.push_back(value);
        records.push_back(code.length);
        table[value] = code;
        present[value] = true;
    }
    if (file.WRITE(records.data(), records.size()) != records.size() ||
        file.WRITE(&colorCount_, 1) != 1)
        return false;

    BitWriter bits(file);
    for (std::uint16_t v : colorValues_)
        if (!present[v] || !bits.Put(table[v].bits, table[v].length)) return false;
    return bits.Finish();
}

bool IVColorArray::Read(MFile& file) {
    Clear();
    const bool ok = ReadClassChunk(
        *this, file, [this](MFile& f, std::uint8_t, std::uint8_t) { return ReadPayload(f); });
    if (!ok) Clear();
    return ok;
}

bool IVColorArray::ReadPayload(MFile& file) {
    std::uint32_t distinct = 0;
    if (file.READ(&distinct, 1) != 1 || distinct > kMaxDistinct ||
        std::int64_t{distinct} * 4 > file.REMAINING())
        return false;

    // The leaf records and the tree are scratch; the values stay as long as the array.
    MReadBudget::Hold scratch(ReadBudgetOf(file));
    if (!scratch.Take(distinct, 4 + 2 * sizeof(CodeNode))) return false;
    std::vector<CodeNode> nodes;
    std::uint16_t minLength = 0;
    if (distinct > 0) {
        std::vector<std::uint16_t> records(2 * std::size_t{distinct});
        if (file.READ(records.data(), records.size()) != records.size()) return false;
        std::vector<bool> seen(kMaxDistinct, false);
        minLength = kMaxCodeLength;
        for (std::size_t i = 0; i < records.size(); i += 2) {
            if (seen[records[i]]) return false;
            seen[records[i]] = true;
            minLength = std::min(minLength, records[i + 1]);
        }
        if (!RebuildTree(records, nodes)) return false;
    }

    std::int32_t count = 0;
    if (file.READ(&count, 1) != 1 || count < 0 || count > kMaxColorCount ||
        (count > 0 && distinct == 0) ||
        std::uint64_t(count) * minLength > 8 * std::uint64_t(file.REMAINING()))
        return false;

    // Charged as the values it stands for, even when one value is kept for all: whoever reads
    // the array gets them all.
    if (!TakeReadBudget(file, static_cast<std::uint64_t>(count), sizeof(std::uint16_t)))
        return false;

    std::uint8_t byte = 0;
    if (file.READ(&byte, 1) != 1) return false;
    const std::int32_t root = static_cast<std::int32_t>(nodes.size()) - 1;
    if (count > 0 && nodes[root].left == kNoChild) {
        // One value with a code of no bits: keep it once instead of count copies.
        uniformValue_ = nodes[root].value;
        uniform_ = true;
        colorCount_ = count;
        return true;
    }
    colorValues_.reserve(static_cast<std::size_t>(count));
    unsigned used = 0;  // bits of `byte` taken
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t n = root;
        while (nodes[n].left != kNoChild) {
            if (used == 8) {
                if (file.READ(&byte, 1) != 1) return false;
                used = 0;
            }
            n = (byte >> used++ & 1) != 0 ? nodes[n].right : nodes[n].left;
        }
        colorValues_.push_back(nodes[n].value);
    }
    colorCount_ = count;
    return true;
}

}  // namespace KvxInternal
