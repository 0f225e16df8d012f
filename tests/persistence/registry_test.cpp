#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

#include "persistence/TestClasses.h"

namespace {

using namespace KvxInternal;
using kvxtest::TPar;
using kvxtest::TParA;
using kvxtest::TParAB;
using kvxtest::TParB;
using kvxtest::TPlain;

std::string BaseNames(const MClassInfo& r) {
    std::string out;
    for (const MClassInfo* b : r.bases)
        out += (b ? b->name : "?") + std::string(" ");
    return out;
}

// Registers the same little graph in a given order. Names carry a prefix so that every
// scenario has its own classes:  Top -> (Left, Right) -> Bottom -> MDynBase.
struct Graph {
    explicit Graph(const std::string& prefix) : p(prefix) {}
    std::string p;
    MClassInfo bottom, left, right, top;
    std::string Name(const char* n) const { return p + n; }
    void Register(char which) {
        switch (which) {
            case 'b':
                RegisterClass(bottom, Name("Bottom").c_str(), Name("B").c_str(), 2, 0, nullptr,
                              "MDynBase", nullptr, nullptr);
                break;
            case 'l':
                RegisterClass(left, Name("Left").c_str(), Name("L").c_str(), 2, 0, nullptr,
                              Name("Bottom").c_str(), nullptr, nullptr);
                break;
            case 'r':
                RegisterClass(right, Name("Right").c_str(), Name("R").c_str(), 2, 0, nullptr,
                              Name("Bottom").c_str(), nullptr, nullptr);
                break;
            case 't':
                RegisterClass(top, Name("Top").c_str(), Name("T").c_str(), 2, 0, &Make<TPlain>,
                              Name("Left").c_str(), Name("Right").c_str(), nullptr);
                break;
        }
    }
};

TEST(Registry, AnyRegistrationOrderGivesTheSameGraph) {
    const char* orders[] = {"blrt", "tlrb", "trbl", "ltbr"};
    int scenario = 0;
    for (const char* order : orders) {
        std::string prefix = "G";
        prefix += std::to_string(scenario++);
        Graph g(prefix);
        for (const char* c = order; *c; ++c)
            g.Register(*c);
        EXPECT_EQ(BaseNames(g.top), g.Name("Left") + " " + g.Name("Right") + " ") << order;
        EXPECT_EQ(BaseNames(g.left), g.Name("Bottom") + " ") << order;
        EXPECT_TRUE(g.top.pendingNames.empty() && g.left.pendingNames.empty()) << order;
        EXPECT_EQ(FindByName(g.Name("Top").c_str()), &g.top) << order;
        EXPECT_EQ(FindByTag((g.p + "T").c_str()), &g.top) << order;
        // Top is reachable along two paths, and its bases reach Bottom.
        EXPECT_EQ(FindByInfo(&g.top, &g.bottom, SEARCH_BASES), &g.bottom) << order;
        EXPECT_EQ(FindByInfo(&g.bottom, &g.top, SEARCH_BASES), nullptr) << order;
    }
}

TEST(Registry, MissingBaseLeavesTheRecordPending) {
    MClassInfo orphan;
    RegisterClass(orphan, "OrphanClass", "ORPHAN", 2, 0, &Make<TPlain>, "NeverRegistered", nullptr,
                  nullptr);
    EXPECT_EQ(orphan.pendingNames, std::vector<std::wstring>{L"NeverRegistered"});
    EXPECT_EQ(orphan.bases.size(), 1u);
    EXPECT_EQ(FindByName("OrphanClass"), nullptr);
    EXPECT_EQ(FindByTag("ORPHAN"), nullptr);
    EXPECT_EQ(CreateByName("OrphanClass"), nullptr);
}

TEST(Registry, LookupsByNameTagAndRecord) {
    EXPECT_EQ(FindByTag("TPARAB"), &TParAB::ClassInfo());
    EXPECT_EQ(FindByTag("TPARABXYZ"), &TParAB::ClassInfo());  // 6 characters are compared
    EXPECT_EQ(FindByTag(""), &RootClassInfo());
    EXPECT_EQ(FindByTag("MUID"), nullptr);  // an identity chunk, not a class tag
    EXPECT_EQ(FindByName("MUID"), &MUID::ClassInfo());
    EXPECT_STREQ(RootClassInfo().name, "MDynBase");
    EXPECT_EQ(std::string(TPar::ClassInfo().tag), "TPAR");
    EXPECT_EQ(TPar::ClassInfo().flags, 1);
    EXPECT_EQ(BaseNames(TParAB::ClassInfo()), "TParA TParB ");
    EXPECT_EQ(BaseNames(MUID::ClassInfo()), "MDynBase ");
    EXPECT_EQ(MUID::ClassInfo().tag[0], '\0');
}

TEST(Registry, CreateOnlyConcreteClasses) {
    EXPECT_EQ(CreateByName("TPar"), nullptr);
    EXPECT_EQ(CreateByName("MDynBase"), nullptr);
    EXPECT_EQ(CreateByName("NoSuchClass"), nullptr);
    MHDynBase h;
    h.AdoptNew("TParAB");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->GetCount(), 1u);
    EXPECT_EQ(&h->GetClassInfo(), &TParAB::ClassInfo());
}

TEST(Registry, CastsAndKinds) {
    TParAB object;
    MDynBase* base = &object;
    // One MUID and one TPar part, whichever path the cast takes.
    EXPECT_EQ(Cast<MUID>(base), static_cast<MUID*>(&object));
    EXPECT_EQ(Cast<TPar>(base), static_cast<TPar*>(static_cast<TParA*>(&object)));
    EXPECT_EQ(Cast<TParB>(base)->CastTo(MUID::ClassInfo()), Cast<MUID>(base));
    EXPECT_EQ(Cast<TParA>(base), static_cast<TParA*>(&object));
    EXPECT_EQ(Cast<TPlain>(base), nullptr);
    EXPECT_EQ(base->CastTo(RootClassInfo()), static_cast<void*>(base));
    EXPECT_TRUE(IsKindOf(base, TParB::ClassInfo()));
    EXPECT_TRUE(IsKindOf(base, MUID::ClassInfo()));
    EXPECT_TRUE(IsKindOf(base, RootClassInfo()));
    EXPECT_FALSE(IsKindOf(base, TPlain::ClassInfo()));
    TParA a;
    EXPECT_FALSE(IsKindOf(&a, TParAB::ClassInfo()));
}

}  // namespace
