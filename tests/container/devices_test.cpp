#include <gtest/gtest.h>

#include <istream>
#include <iterator>
#include <ostream>

#include "container/FileStreamDevices.h"
#include "maker/MFile.h"

namespace {

using namespace KvxInternal;

TEST(FileStreamDevices, SinkDeliversOnDestructionAndSourceReadsBack) {
    MFileMemory f;
    ASSERT_TRUE(f.OPEN_WRITE(0, nullptr));
    const std::string text(10000, 'k');  // more than one stream buffer
    {
        auto out = MakeSinkStream(&f);
        *out << "head:" << text;
        EXPECT_LT(f.SIZE(), 5 + 10000);  // still partly buffered
    }
    EXPECT_EQ(f.SIZE(), 5 + 10000);
    // The same file carries a source once switched to reading.
    ASSERT_TRUE(f.CHANGE_MODE(1));
    ASSERT_TRUE(f.SEEK(5));
    auto in = MakeSourceStream(&f);
    const std::string back{std::istreambuf_iterator<char>(*in), {}};
    EXPECT_EQ(back, text);
}

TEST(FileStreamDevices, SourceAtEndIsEndOfStream) {
    MFileMemory f;
    const char bytes[3] = {1, 2, 3};
    ASSERT_TRUE(f.OPEN_READ(bytes, 3));
    ASSERT_TRUE(f.SEEK(3));
    auto in = MakeSourceStream(&f);
    EXPECT_EQ(in->get(), std::char_traits<char>::eof());
    EXPECT_TRUE(in->eof());
}

TEST(FileStreamDevices, StreamsDoNotSeek) {
    MFileMemory f;
    ASSERT_TRUE(f.OPEN_WRITE(0, nullptr));
    auto out = MakeSinkStream(&f);
    EXPECT_THROW(out->seekp(0), std::ios_base::failure);
}

}  // namespace
