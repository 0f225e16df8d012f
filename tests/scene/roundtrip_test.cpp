#include <gtest/gtest.h>

#include <set>

#include "persistence/ClassInfo.h"
#include "support/Streams.h"

namespace {

using namespace KvxInternal;

// Every concrete class with a tag, found through the registry.
std::vector<const MClassInfo*> StoredClasses() {
    std::vector<const MClassInfo*> out;
    std::set<const MClassInfo*> seen;
    std::vector<const MClassInfo*> todo = {&RootClassInfo()};
    while (!todo.empty()) {
        const MClassInfo* r = todo.back();
        todo.pop_back();
        if (!seen.insert(r).second) continue;
        if (r->factory != nullptr && r->tag[0] != '\0') out.push_back(r);
        for (const MClassInfo* d : r->derived)
            todo.push_back(d);
    }
    return out;
}

// Each class reads back what it wrote: writing the object read gives the same bytes.
TEST(RoundTrip, EveryStoredClass) {
    const auto classes = StoredClasses();
    EXPECT_GE(classes.size(), 12u);
    for (const MClassInfo* info : classes) {
        kvxtest::Bytes first;
        {
            MHDynBase original;
            original.AdoptNew(*info);
            ASSERT_TRUE(original) << info->name;
            first = kvxtest::Written({original.Get()});
        }
        kvxtest::Outcome out = kvxtest::ReadAll(first);
        ASSERT_EQ(out.results, (std::vector<std::int32_t>{READ_OK, READ_END})) << info->name;
        EXPECT_EQ(&out.objects[0]->GetClassInfo(), info);
        EXPECT_EQ(kvxtest::Written({out.objects[0].Get()}), first) << info->name;
    }
}

}  // namespace
