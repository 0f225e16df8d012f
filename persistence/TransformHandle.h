// A counted transform and its handle, for lists that share transforms (the scene's entries).
#pragma once

#include "maker/MTransform.h"
#include "persistence/Handles.h"

namespace KvxInternal {

class HCNTMTransform : public HCNT, public MTransform {};

class MHTransform : public MHBase<HCNTMTransform, MTransform> {
public:
    using MHBase::MHBase;
    // Holds a new identity transform (count 1).
    void Create() { Adopt(new HCNTMTransform); }
};

}  // namespace KvxInternal
