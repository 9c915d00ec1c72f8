#include "audio/Wave.h"

#include "audio/AudioTestUtil.h"
#include "toolkit/ExceptionReporter.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace audiotest;

namespace {

// Builds a wave file by hand: RIFF header and the given chunks.
std::vector<char> RiffFile(const std::vector<std::pair<std::string, std::vector<char>>>& chunks,
                           const std::vector<char>& tail = {}) {
    std::vector<char> d = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const auto& [id, body] : chunks) {
        d.insert(d.end(), id.begin(), id.end());
        const uint32_t n = static_cast<uint32_t>(body.size());
        for (int i = 0; i < 4; ++i)
            d.push_back(static_cast<char>(n >> (8 * i)));
        d.insert(d.end(), body.begin(), body.end());
    }
    d.insert(d.end(), tail.begin(), tail.end());
    return d;
}

std::vector<char> FormatChunk(int rate, int bits, int channels, size_t size = 18) {
    WAVEFORMATEX f;
    FillPcmFormat(f, rate, bits, channels);
    std::vector<char> body(size, 0);
    std::memcpy(body.data(), &f, std::min(size, sizeof f));
    return body;
}

} // namespace

TEST(WaveWrite, FileLayoutOfEmptyAndOddRecordings) {
    const auto path = TempPath("empty.wav");
    {
        TWaveFileStream wave(path, fmCreate);
        wave.AssignPcmFormat(11025, 8, 1);
        wave.OpenWave(true);
        EXPECT_EQ(wave.GetDataSize(), 0);
    }
    auto d = ReadFile(path);
    ASSERT_EQ(d.size(), 46u);
    EXPECT_EQ(std::string(d.data(), 4), "RIFF");
    EXPECT_EQ(U32(d, 4), 38u);
    EXPECT_EQ(std::string(d.data() + 8, 8), "WAVEfmt ");
    EXPECT_EQ(U32(d, 16), 18u);
    EXPECT_EQ(U16(d, 20), 1);      // PCM
    EXPECT_EQ(U16(d, 22), 1);      // channels
    EXPECT_EQ(U32(d, 24), 11025u); // rate
    EXPECT_EQ(U32(d, 28), 11025u); // bytes per second
    EXPECT_EQ(U16(d, 32), 1);      // block align
    EXPECT_EQ(U16(d, 34), 8);      // bits
    EXPECT_EQ(U16(d, 36), 0);      // cbSize
    EXPECT_EQ(std::string(d.data() + 38, 4), "data");
    EXPECT_EQ(U32(d, 42), 0u);

    // Odd 8-bit data in several writes: the size grows with each, no pad byte at the end.
    {
        TWaveFileStream wave(path, fmCreate);
        wave.AssignPcmFormat(22050, 16, 2);
        wave.OpenWave(true);
        const char bytes[7] = {1, 2, 3, 4, 5, 6, 7};
        wave.WriteBuffer(bytes, 4);
        EXPECT_EQ(wave.GetDataSize(), 4);
        wave.WriteBuffer(bytes, 7);
        EXPECT_EQ(wave.GetDataSize(), 11);
        EXPECT_EQ(wave.Seek(0, soEnd), 11);
        EXPECT_EQ(wave.Seek(100, soBeginning), 11); // clamped to the data
        EXPECT_EQ(wave.Seek(-100, soCurrent), 0);
        wave.Seek(0, soEnd);
        wave.WriteBuffer(bytes, 2);
    }
    d = ReadFile(path);
    ASSERT_EQ(d.size(), 46u + 13u);
    EXPECT_EQ(U32(d, 4), 46u + 13u - 8u);
    EXPECT_EQ(U32(d, 28), 88200u);
    EXPECT_EQ(U16(d, 32), 4);
    EXPECT_EQ(U32(d, 42), 13u);
    EXPECT_EQ(d[46 + 11], 1);
    std::filesystem::remove(path);
}

TEST(WaveWrite, WaveInsideALargerStreamStartsAtItsPosition) {
    TMemoryStream target;
    target.WriteBuffer("prefix", 6);
    {
        TWaveStream wave(&target);
        wave.AssignPcmFormat(8000, 16, 1);
        wave.OpenWave(true);
        wave.WriteBuffer("abcd", 4);
    }
    const auto& d = target.Data();
    ASSERT_EQ(d.size(), 6u + 46u + 4u);
    EXPECT_EQ(std::string(d.data(), 10), "prefixRIFF");
    EXPECT_EQ(U32(d, 10), 46u + 4u - 8u);
    target.SetPosition(6);
    TWaveStream reader(&target);
    reader.OpenWave(false);
    char buf[8] = {};
    EXPECT_EQ(reader.Read(buf, 8), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST(WaveErrors, TextsOfTheFamily) {
    TMemoryStream target;
    TWaveStream wave(&target);
    EXPECT_EQ(wave.GetDataSize(), 0);
    EXPECT_EQ(ErrorOf([&] { wave.Write("x", 1); }), "Stream not opend");
    EXPECT_EQ(ErrorOf([&] { wave.OpenWave(true); }), "Format is invalid");
    wave.AssignPcmFormat(8000, 8, 1);
    wave.OpenWave(true);
    EXPECT_EQ(ErrorOf([&] { wave.OpenWave(true); }), "Stream has already been opened");
    EXPECT_EQ(ErrorOf([&] { wave.OpenWave(false); }), "Stream has already been opened");

    TMemoryStream notWave;
    auto d = RiffFile({});
    std::memcpy(d.data() + 8, "AVI ", 4);
    notWave.WriteBuffer(d.data(), static_cast<int32_t>(d.size()));
    notWave.SetPosition(0);
    TWaveStream bad(&notWave);
    EXPECT_EQ(ErrorOf([&] { bad.OpenWave(false); }), "Wave is invalid");

    TMemoryStream shortFile;
    shortFile.WriteBuffer("RIFF", 4);
    shortFile.SetPosition(0);
    TWaveStream truncated(&shortFile);
    EXPECT_EQ(ErrorOf([&] { truncated.OpenWave(false); }), "Stream read error");

    EXPECT_EQ(ErrorOf([] { TWaveFileStream("/nonexistent-dir/x.wav", fmCreate); }),
              "Cannot create file /nonexistent-dir/x.wav");
    TMemoryStream none;
    TWaveStream closed(&none);
    char c;
    EXPECT_EQ(ErrorOf([&] { closed.Read(&c, 1); }), "Stream not opend");
}

TEST(WaveRead, ChunksAreScannedAndReadsClampToTheData) {
    std::vector<char> samples = {10, 20, 30, 40, 50};
    TMemoryStream m;
    // A 16-byte format chunk, an unknown chunk, the data, then a partial chunk header.
    auto d = RiffFile({{"fmt ", FormatChunk(8000, 8, 1, 16)}, {"LIST", {'a', 'b', 'c'}}, {"data", samples}},
                      {'x', 'y', 'z'});
    m.WriteBuffer(d.data(), static_cast<int32_t>(d.size()));
    m.SetPosition(0);
    TWaveStream wave(&m);
    wave.OpenWave(false);
    EXPECT_EQ(wave.GetWaveFormatSize(), 16);
    EXPECT_EQ(wave.GetWaveFormat()->nSamplesPerSec, 8000u);
    EXPECT_EQ(wave.GetWaveFormat()->cbSize, 0); // beyond the 16 bytes read: zero, not garbage
    EXPECT_EQ(wave.GetDataSize(), 5);
    char buf[16] = {};
    EXPECT_EQ(wave.Read(buf, 16), 5);
    EXPECT_EQ(std::vector<char>(buf, buf + 5), samples);
    EXPECT_EQ(wave.Read(buf, 16), 0);
    wave.Seek(3, soBeginning);
    EXPECT_EQ(wave.Read(buf, 16), 2);
    EXPECT_EQ(buf[0], 40);
    // Writing never extends a file opened for reading.
    wave.Seek(3, soBeginning);
    EXPECT_EQ(wave.Write("ABCDEFG", 7), 2);
    EXPECT_EQ(m.Size(), static_cast<int64_t>(d.size()));
    EXPECT_EQ(m.Data()[wave.DataStart() + 4], 'B');

    // No data chunk: opens with a data size of 0; no format chunk: format size 0.
    TMemoryStream empty;
    auto e = RiffFile({{"junk", {1, 2}}});
    empty.WriteBuffer(e.data(), static_cast<int32_t>(e.size()));
    empty.SetPosition(0);
    TWaveStream emptyWave(&empty);
    emptyWave.OpenWave(false);
    EXPECT_EQ(emptyWave.GetDataSize(), 0);
    EXPECT_EQ(emptyWave.GetWaveFormatSize(), 0);
}

TEST(WaveRead, HostileChunkSizesEndTheScan) {
    struct Case {
        const char* name;
        uint32_t size;
        int32_t expectedData;
    };
    // The size field of a chunk placed after a normal format chunk.
    const Case cases[] = {
        {"LIST", 0xFFFFFFF0u, 0}, // negative when read as signed
        {"LIST", 0x7FFFFFF0u, 0}, // past the end
        {"fmt ", 0x7FFFFFF0u, 0}, // a format block the size of the address space
        {"fmt ", 0x80000000u, 0},
        {"data", 0xFFFFFFFFu, 6}, // streaming writers: data runs to the end of the file
        {"data", 1000u, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.size));
        auto d = RiffFile({{"fmt ", FormatChunk(8000, 16, 1)}});
        d.insert(d.end(), c.name, c.name + 4);
        for (int i = 0; i < 4; ++i)
            d.push_back(static_cast<char>(c.size >> (8 * i)));
        d.insert(d.end(), {1, 2, 3, 4, 5, 6});
        TMemoryStream m;
        m.WriteBuffer(d.data(), static_cast<int32_t>(d.size()));
        m.SetPosition(0);
        TWaveStream wave(&m);
        wave.OpenWave(false);
        EXPECT_EQ(wave.GetWaveFormatSize(), 18);
        EXPECT_EQ(wave.GetDataSize(), c.expectedData);
        char buf[16];
        EXPECT_EQ(wave.Read(buf, 16), c.expectedData);
    }
}

TEST(WaveInterop, IndependentReadersAgreeWithWhatWeWrite) {
    const auto path = TempPath("interop.wav");
    const auto samples = Pcm16Pattern(4001); // odd frame count, stereo frames of 4 bytes
    {
        TWaveFileStream wave(path, fmCreate);
        wave.AssignPcmFormat(22050, 16, 2);
        wave.OpenWave(true);
        TMemoryStream source;
        source.WriteBuffer(samples.data(), static_cast<int32_t>(samples.size() - 2)); // 4000 samples
        wave.CopyFrom(source, 0);
    }
    std::string soxi;
    for (const char* option : {"-r", "-c", "-b", "-s"})
        soxi += RunCommand(std::string("soxi ") + option + " '" + path.string() + "' 2>&1");
    EXPECT_EQ(soxi, "22050\n2\n16\n2000\n");
    const std::string py =
        RunCommand("/usr/bin/python3 -c \"import wave,sys,hashlib; w=wave.open(sys.argv[1]); "
                   "print(w.getframerate(), w.getsampwidth(), w.getnchannels(), w.getnframes(), "
                   "hashlib.md5(w.readframes(99999)).hexdigest())\" '" +
                   path.string() + "' 2>&1");
    const std::string expectedMd5 =
        RunCommand("/usr/bin/python3 -c \"import hashlib,sys; d=open(sys.argv[1],'rb').read()[46:]; "
                   "print(hashlib.md5(d).hexdigest())\" '" +
                   path.string() + "'");
    EXPECT_EQ(py, "22050 2 2 2000 " + expectedMd5);
    auto written = ReadFile(path);
    EXPECT_TRUE(std::equal(written.begin() + 46, written.end(), samples.begin()));

    // sox writes a 16-byte format chunk and, for this input, a LIST chunk before the data.
    const auto raw = TempPath("interop.raw");
    const auto soxWav = TempPath("sox.wav");
    WriteFile(raw, std::vector<char>(samples.begin(), samples.begin() + 2000));
    RunCommand("sox -t raw -r 11025 -e signed -b 16 -c 1 '" + raw.string() + "' --comment 'lumisk test' '" +
               soxWav.string() + "'");
    TWaveFileStream reader(soxWav, fmOpenRead);
    reader.OpenWave(false);
    EXPECT_EQ(reader.GetWaveFormat()->nSamplesPerSec, 11025u);
    EXPECT_EQ(reader.GetWaveFormat()->wBitsPerSample, 16);
    ASSERT_EQ(reader.GetDataSize(), 2000);
    std::vector<char> got(2000);
    reader.ReadBuffer(got.data(), 2000);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), samples.begin()));
    std::filesystem::remove(path);
    std::filesystem::remove(raw);
    std::filesystem::remove(soxWav);
}
