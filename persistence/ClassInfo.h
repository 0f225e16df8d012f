// The class registry: one record per persistent class (name, chunk tag, version, flags,
// factory, bases) in a graph rooted at "MDynBase".
//
// Records register during static initialisation, in any order: a base named before its record
// exists stays pending and is linked when it registers. Afterwards the registry is read-only.
// A record that is destroyed leaves the graph; the registry itself is freed with the last one.
// Lookups walk the graph depth first, through `bases` (SEARCH_BASES) and/or `derived`
// (SEARCH_DERIVED); the global forms start at the root and search derived records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace KvxInternal {

class MDynBase;

using ClassFactory = MDynBase* (*)();

enum SearchMode : int { SEARCH_BASES = 1, SEARCH_DERIVED = 2 };

struct MClassInfo {
    MClassInfo();
    ~MClassInfo();
    MClassInfo(const MClassInfo&) = delete;
    MClassInfo& operator=(const MClassInfo&) = delete;

    char name[63] = {};  // NUL-terminated, at most 62 characters
    char tag[7] = {};    // at most 6 characters and a NUL; empty for short-form classes
    std::uint8_t version = 0;
    std::uint8_t flags = 0;
    std::vector<std::wstring> pendingNames;   // bases not registered yet, in the order given
    std::vector<std::uint32_t> pendingSlots;  // their reserved slots in `bases`
    ClassFactory factory = nullptr;           // null for abstract classes
    std::size_t instanceSize = 0;             // sizeof the class (what one object costs at least)
    std::vector<MClassInfo*> derived;
    std::vector<MClassInfo*> bases;
    bool registered = false;
};

// Full form: every tagged class. Base names may be null.
void RegisterClass(MClassInfo& record, const char* name, const char* tag, std::uint8_t version,
                   std::uint8_t flags, ClassFactory factory, const char* base1, const char* base2,
                   const char* base3);
// Short form: no tag, version and flags 0, one base.
void RegisterClass(MClassInfo& record, const char* name, ClassFactory factory, const char* base);

// The root record, "MDynBase" (created on first use).
const MClassInfo& RootClassInfo();

const MClassInfo* FindByName(const MClassInfo* start, const char* name, int mode);
// Compares the first 6 characters of the tag; the empty tag finds the root first.
const MClassInfo* FindByTag(const MClassInfo* start, const char* tag, int mode);
const MClassInfo* FindByInfo(const MClassInfo* start, const MClassInfo* info, int mode);
const MClassInfo* FindByName(const char* name);
const MClassInfo* FindByTag(const char* tag);
const MClassInfo* FindByInfo(const MClassInfo* info);

// A new object (count 1) of a registered, reachable class with a factory; else null.
MDynBase* CreateByName(const char* name);
MDynBase* CreateByInfo(const MClassInfo& info);

// True when the object's class is `info` or has it among its bases, at any depth.
bool IsKindOf(const MDynBase* object, const MClassInfo& info);

}  // namespace KvxInternal
