// Symbol export control for the public API of libkvx.
#pragma once

#if defined(KVX_BUILDING_LIBRARY)
#define KVX_API __attribute__((visibility("default")))
#else
#define KVX_API
#endif
