// UTF-8 for the tool's text: mesh names are wide strings in the library, bytes on the command
// line, in file names and in JSON.
#pragma once

#include <string>

namespace kvx::cli {

// Invalid bytes become U+FFFD.
std::wstring Widen(const std::string& utf8);
// Characters outside Unicode become U+FFFD.
std::string Narrow(const std::wstring& wide);

}  // namespace kvx::cli
