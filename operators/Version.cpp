#include "operators/kvx.h"

namespace kvx {

const char* Version() {
    return KVX_VERSION_STRING;
}

}  // namespace kvx
