#include "toolkit/Stream.h"

#include "toolkit/Exception.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <numeric>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path TempPath(const std::string& name) {
    return fs::temp_directory_path() / ("lumisk_stream_" + std::to_string(getpid()) + "_" + name);
}

std::vector<char> Pattern(size_t n) {
    std::vector<char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<char>(i * 7 + 3);
    return v;
}

} // namespace

TEST(Stream, ReadBufferPastTheEndRaisesStreamReadError) {
    TMemoryStream m;
    m.WriteBuffer("abc", 3);
    m.SetPosition(1);
    char buf[3];
    try {
        m.ReadBuffer(buf, 3);
        FAIL() << "no error";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Stream read error");
    }
}

TEST(Stream, CopyFromCountZeroCopiesTheWholeSourceFromTheStart) {
    // Larger than one internal copy buffer, so the loop runs more than once.
    const auto data = Pattern(200000);
    TMemoryStream source;
    source.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
    source.SetPosition(12345); // must be ignored for count 0
    TMemoryStream target;
    EXPECT_EQ(target.CopyFrom(source, 0), 200000);
    EXPECT_EQ(target.Data(), data);

    source.SetPosition(199990);
    TMemoryStream partial;
    EXPECT_THROW(partial.CopyFrom(source, 11), EReadError);
    source.SetPosition(10);
    EXPECT_EQ(partial.CopyFrom(source, 5), 5);
    EXPECT_EQ(partial.Size(), 5);
}

TEST(Stream, FileCreateReadWriteSeekAndErrors) {
    const auto path = TempPath("file.bin");
    {
        TFileStream f(path.string(), fmCreate);
        f.WriteBuffer("hello world", 11);
        EXPECT_EQ(f.Size(), 11);
        EXPECT_EQ(f.Seek(-5, soEnd), 6);
        f.WriteBuffer("WORLD", 5);
        EXPECT_EQ(f.Seek(0, soCurrent), 11);
    }
    {
        // A reader that lets others write: both handles open at once.
        TFileStream reader(path.string(), fmOpenRead | fmShareDenyNone);
        TFileStream writer(path.string(), fmOpenReadWrite | fmShareDenyNone);
        char buf[12] = {};
        reader.ReadBuffer(buf, 11);
        EXPECT_STREQ(buf, "hello WORLD");
        EXPECT_EQ(reader.Read(buf, 5), 0);
    }
    {
        TFileStream f(path.string(), fmCreate); // truncates
        EXPECT_EQ(f.Size(), 0);
    }
    fs::remove(path);

    const std::string bad = "/nonexistent-dir/x.wav";
    try {
        TFileStream f(bad, fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file " + bad);
    }
    try {
        TFileStream f(bad, fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + bad);
    }
}

TEST(Stream, WriteToAFullDeviceRaisesStreamWriteError) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TFileStream f("/dev/full", fmOpenWrite);
    EXPECT_THROW(f.WriteBuffer("x", 1), EWriteError);
}
