// libkvx: read and write KVX project files.
#pragma once

#include "maker/KvxExport.h"
#include "maker/Logging.h"
#include "operators/MStlOperatorKVX.h"

namespace kvx {

// The library's version as "major.minor.patch".
KVX_API const char* Version();

}  // namespace kvx
