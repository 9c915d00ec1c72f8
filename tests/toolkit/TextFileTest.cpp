#include "toolkit/TextFile.h"

#include "toolkit/Exception.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(TextFile, WritesCrLfAndReadsAnyLineEndWithEmptyLinesPastTheEnd) {
    const auto path = fs::temp_directory_path() / ("lumisk_text_" + std::to_string(getpid()));
    {
        TTextFile f;
        f.Rewrite(path.string());
        f.WriteLn("10");
        f.WriteLn("");
        f.WriteLn("ATH1");
        f.Close();
    }
    std::ifstream raw(path, std::ios::binary);
    std::stringstream bytes;
    bytes << raw.rdbuf();
    EXPECT_EQ(bytes.str(), "10\r\n\r\nATH1\r\n");

    {
        std::ofstream out(path, std::ios::binary);
        out << "a\r\nb\nc\rd";
    }
    TTextFile f;
    f.Reset(path.string());
    EXPECT_EQ(f.ReadLn(), "a");
    EXPECT_EQ(f.ReadLn(), "b");
    EXPECT_EQ(f.ReadLn(), "c");
    EXPECT_FALSE(f.Eof());
    EXPECT_EQ(f.ReadLn(), "d");
    EXPECT_TRUE(f.Eof());
    EXPECT_EQ(f.ReadLn(), "");
    EXPECT_EQ(f.ReadLn(), "");
    f.Close();
    fs::remove(path);
}

TEST(TextFile, FailuresCarryTheErrno) {
    TTextFile f;
    try {
        f.Reset("/nonexistent-dir/pager.ini");
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, ENOENT);
        EXPECT_EQ(e.Message(), "I/O error 2");
    }
    if (fs::exists("/dev/full")) {
        TTextFile full;
        full.Rewrite("/dev/full");
        // Caught by the write itself or, for a line that fits the buffer, by Close.
        EXPECT_THROW(
            {
                full.WriteLn("10");
                full.Close();
            },
            EInOutError);
    }
}
