// Writing a file without ever destroying what was there: the content goes into a new file
// beside the target, which is renamed over the target only when everything was written.
#pragma once

#include <functional>

#include "maker/MFileName.h"

class MFile;

// True when `target` can be replaced: it does not exist yet, or it exists and can be written.
bool CanReplaceFile(const MFileName& target);

// Writes the file `target` through `write` (which gets a file open for writing). On any failure,
// `write`'s included, the target is left as it was and no file is left behind.
bool ReplaceFile(const MFileName& target, const std::function<bool(MFile&)>& write);
