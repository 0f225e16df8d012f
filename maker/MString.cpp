#include "maker/MString.h"

#include "maker/MFile.h"
#include "maker/ReadBudget.h"
#include "maker/Text.h"

bool MString::WRITE(MFile& file) const {
    const std::string bytes = CharacterSetConversions::String<char>(text_);
    if (bytes.size() > kMaxBytes) return false;
    const auto n = static_cast<std::uint32_t>(bytes.size());
    return file.WRITE(&n, 1) == 1 && file.WRITE(bytes.data(), bytes.size()) == bytes.size();
}

bool MString::READ(MFile& file) {
    std::uint32_t n = 0;
    if (file.READ(&n, 1) != 1) return false;
    if (n > kMaxBytes || static_cast<std::int64_t>(n) > file.REMAINING()) return false;
    // The text as it is kept (wide characters), and its bytes while they are converted.
    if (!TakeReadBudget(file, n, sizeof(wchar_t) + 1)) return false;
    std::string bytes(n, '\0');
    if (file.READ(bytes.data(), n) != n) return false;
    text_ = CharacterSetConversions::String<wchar_t>(bytes);
    return true;
}
