// File names (wide paths; UTF-8 on this platform) and the file-system operations on them.
#pragma once

#include <cstdint>
#include <string>

class MFileName {
public:
    MFileName() = default;
    // `makeAbsolute` resolves a relative path against the current directory.
    MFileName(const std::wstring& path, bool makeAbsolute = false);
    MFileName(const wchar_t* path, bool makeAbsolute = false);

    const std::wstring& GET() const { return path_; }
    operator const wchar_t*() const { return path_.c_str(); }
    // The path as the operating system takes it.
    std::string Native() const;
    bool IsEmpty() const { return path_.empty(); }

    // Picks a fresh name and creates that file securely: exclusive creation, mode 0600.
    //   directory: where (null: $TMPDIR when set and not empty, else /tmp);
    //   prefix, extension: the name's start and end (null: "kvx-" and ".tmp");
    //   attempts: how many random names to try while names are taken (0: one);
    //   flags: reserved, 0.
    // False when the file cannot be created; the name is then left unchanged.
    bool SET_TEMP_NAME(const wchar_t* directory, const wchar_t* prefix, const wchar_t* extension,
                       unsigned attempts, unsigned flags);

    // Replaces the extension of the last path element: the part from its last dot on is removed
    // (unless the element is "." or ".."), then `extension` is appended. False, with the name
    // unchanged, when `extension` is longer than `maxLength` characters.
    bool SET_EXT_PART(const wchar_t* extension, std::size_t maxLength);

    // The directory part ("." for a bare name).
    MFileName GET_DIRECTORY() const;

    bool REMOVE() const;
    // The size of a regular file, or -1 when it cannot be measured.
    std::int64_t FILE_SIZE() const;
    bool EXISTS() const;

    // Renames this file over `target` in one step, giving it the target's permission bits when
    // the target exists and the usual ones for a new file otherwise (0666 less the umask). An
    // `executable` file is a program: new, it gets 0777 less the umask; replacing, it keeps the
    // target's bits and may be run by whoever may read it (less the umask).
    bool RENAME_OVER(const MFileName& target, bool executable = false) const;

private:
    std::wstring path_;
};
