// Standard streams over the maker's files, for the stream codecs.
//
// MFileSink writes at the file's position; MFileSource reads from it and reports end of stream
// as soon as the file is at its end. Neither seeks. The file must outlive every stream built on
// it. Destroying a sink stream flushes what it still buffers into the file.
#pragma once

#include <boost/iostreams/categories.hpp>
#include <iosfwd>
#include <memory>

class MFile;

namespace KvxInternal {

class MFileSink {
public:
    using char_type = char;
    using category = boost::iostreams::sink_tag;

    explicit MFileSink(MFile* file) : file_(file) {}
    std::streamsize write(const char* data, std::streamsize count);

private:
    MFile* file_;
};

class MFileSource {
public:
    using char_type = char;
    using category = boost::iostreams::source_tag;

    explicit MFileSource(MFile* file) : file_(file) {}
    std::streamsize read(char* data, std::streamsize count);

private:
    MFile* file_;
};

inline constexpr std::streamsize kStreamBufferSize = 4096;

std::unique_ptr<std::ostream> MakeSinkStream(MFile* file);
std::unique_ptr<std::istream> MakeSourceStream(MFile* file);

}  // namespace KvxInternal
