#include "container/FileStreamDevices.h"

#include <boost/iostreams/stream.hpp>

#include "maker/MFile.h"

namespace KvxInternal {

std::streamsize MFileSink::write(const char* data, std::streamsize count) {
    if (count <= 0) return 0;
    return static_cast<std::streamsize>(file_->WRITE(data, static_cast<std::size_t>(count)));
}

std::streamsize MFileSource::read(char* data, std::streamsize count) {
    if (file_->FEOF()) return -1;
    if (count <= 0) return 0;
    return static_cast<std::streamsize>(file_->READ(data, static_cast<std::size_t>(count)));
}

std::unique_ptr<std::ostream> MakeSinkStream(MFile* file) {
    return std::make_unique<boost::iostreams::stream<MFileSink>>(MFileSink(file),
                                                                 kStreamBufferSize);
}

std::unique_ptr<std::istream> MakeSourceStream(MFile* file) {
    return std::make_unique<boost::iostreams::stream<MFileSource>>(MFileSource(file),
                                                                   kStreamBufferSize);
}

}  // namespace KvxInternal
