// Fuzz target: chunk headers, lists and trees, and strings over arbitrary bytes.
#include <cstdint>

#include "maker/MFile.h"
#include "maker/MString.h"
#include "maker/MTag.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MFileMemory file;
    file.OPEN_READ(data, size);
    MTag outer;
    if (outer.READ(file)) {
        MTagList list;
        if (list.BUILD_TAG_LIST(file, outer, false)) {
            MTag want("DATA");
            list.FIND_TAG(nullptr, want, 0, true);
        }
        MTagList tree;
        if (tree.BUILD_TAG_TREE(file, outer.GetContentsPosition(), outer.GetEndPosition())) {
            MTag want("MUID");
            if (const MTag* found = tree.FIND_TAG(nullptr, want, 0, true))
                tree.FIND_TAG_EX(found, want, 1, 1, true);
        }
    }
    file.SEEK(0);
    MString text;
    while (text.READ(file)) {
    }
    return 0;
}
