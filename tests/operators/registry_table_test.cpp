#include <gtest/gtest.h>

#include <string>

#include "mesh/STLData.h"
#include "persistence/ClassInfo.h"
#include "scene/Section.h"

namespace {

using namespace KvxInternal;

// Every class the library registers: name, tag, version, flags, factory, bases in order.
TEST(RegistryTable, RealClasses) {
    const struct {
        const char* name;
        const char* tag;
        int version, flags;
        bool factory;
        const char* bases;
    } table[] = {
        {"IVAxis", "", 0, 0, true, "MDynBase"},
        {"IVAxisOrient", "", 0, 0, true, "IVAxis"},
        {"IVAxisTransform", "", 0, 0, true, "IVAxis"},
        {"IVColorArray", "COLOR", 2, 1, true, "MUID"},
        {"IVDependency", "IVDEPD", 2, 0, true, "IVObjectMouse MDependency"},
        {"IVObjectMouse", "IVOBJM", 2, 0, false, "IVObject"},
        {"IVObject", "IVOBJ", 2, 0, false, "MDynBase"},
        {"IVViewPoint", "IVVPNT", 2, 0, true, "MDynBase"},
        {"IVPar", "PAR", 2, 1, false, "MUID"},
        {"IVParBasePoint", "PBPNT", 2, 0, true, "IVPar"},
        {"IVParBaseLine", "PBLINE", 2, 0, true, "IVPar"},
        {"IVParTriangle", "PTRIAN", 2, 0, true, "IVPar"},
        {"IVParClip", "PCLIP", 2, 0, true, "IVPar"},
        {"IVParDepth", "PDEPTH", 2, 1, true, "IVPar"},
        {"IVScene", "IVSCN", 2, 2, true, "IVViewPoint IVAxisOrient"},
        {"IVSceneDependency", "IVSCND", 2, 1, true, "IVScene MDependency"},
        {"IVSection", "IVSEC", 1, 0, true, "IVDependency"},
        {"IVParSection", "PSEC", 2, 0, true, "IVParBaseLine"},
        {"IVSTLData", "IVSTL", 2, 0, true, "IVDependency"},
        {"IVParSTLData", "PSTL", 2, 0, true, "IVParTriangle IVParBaseLine IVParClip"},
        {"MDependency", "MDEPD", 2, 0, true, "MUID"},
        {"MUID", "", 0, 0, true, "MDynBase"},
    };
    for (const auto& row : table) {
        const MClassInfo* r = FindByName(row.name);
        ASSERT_NE(r, nullptr) << row.name;
        EXPECT_STREQ(r->tag, row.tag) << row.name;
        EXPECT_EQ(r->version, row.version) << row.name;
        EXPECT_EQ(r->flags, row.flags) << row.name;
        EXPECT_EQ(r->factory != nullptr, row.factory) << row.name;
        EXPECT_TRUE(r->pendingNames.empty()) << row.name;
        std::string bases;
        for (const MClassInfo* b : r->bases)
            bases += (bases.empty() ? "" : " ") + std::string(b->name);
        EXPECT_EQ(bases, row.bases) << row.name;
        MHDynBase object;
        object.AdoptNew(row.name);
        EXPECT_EQ(static_cast<bool>(object), row.factory) << row.name;
        if (object) {
            EXPECT_EQ(object->GetCount(), 1u) << row.name;
        }
    }
    EXPECT_EQ(FindByTag("PSTL"), &IVParSTLData::ClassInfo());  // reachable through three parents
    EXPECT_EQ(FindByTag("MUID"), nullptr);
    EXPECT_EQ(FindByTag(""), &RootClassInfo());
    EXPECT_EQ(CreateByName("IVObject"), nullptr);
    EXPECT_EQ(CreateByName("IVPar"), nullptr);
    MHDynBase stl;
    stl.AdoptNew("IVSTLData");
    EXPECT_TRUE(IsKindOf(stl.Get(), MDependency::ClassInfo()));
    EXPECT_FALSE(IsKindOf(stl.Get(), IVScene::ClassInfo()));
    IVParSTLData p;
    void* viaTriangle = static_cast<IVParTriangle&>(p).CastTo(MUID::ClassInfo());
    EXPECT_EQ(static_cast<IVParClip&>(p).CastTo(MUID::ClassInfo()), viaTriangle);
    EXPECT_EQ(static_cast<IVParBaseLine&>(p).CastTo(MUID::ClassInfo()), viaTriangle);
}

}  // namespace
