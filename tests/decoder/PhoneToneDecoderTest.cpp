// The window's side of the decoder: blocks of bytes in, one OnDTMF per press out.
#include "decoder/PhoneToneDecoder.h"

#include "decoder/DtmfSignal.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace {

struct TRecorder {
    std::string Keys;
    std::vector<std::int64_t> Positions;
    void Attach(TPhoneToneDecoder& decoder) {
        decoder.OnDTMF = [this](TComponent*, int key, std::int64_t position) {
            Keys += static_cast<char>(key);
            Positions.push_back(position);
        };
    }
};

std::vector<std::uint8_t> KeysSignal(const std::string& keys) {
    TDtmfSignal s;
    s.AppendSilence(50);
    for (char key : keys) {
        s.AppendKey(key, 50, -12, -12);
        s.AppendSilence(60);
    }
    s.AppendSilence(200);
    return s.ToBytes();
}

// Hands bytes over in blocks of the given size (the last one shorter); returns the sum of
// what DecodeSamples returned.
int Feed(TPhoneToneDecoder& decoder, const std::vector<std::uint8_t>& bytes, std::size_t blockSize) {
    int total = 0;
    for (std::size_t i = 0; i < bytes.size(); i += blockSize)
        total += decoder.DecodeSamples(
            std::span<const std::uint8_t>(bytes.data() + i, std::min(blockSize, bytes.size() - i)));
    return total;
}

} // namespace

TEST(PhoneToneDecoder, ReportsEachKeyOnceAndReturnsHowManyACallReported) {
    TPhoneToneDecoder decoder;
    TRecorder heard;
    heard.Attach(decoder);
    decoder.StartDecoding();
    EXPECT_EQ(Feed(decoder, KeysSignal("4711D#"), 1024), 6);
    EXPECT_EQ(heard.Keys, "4711D#");
}

TEST(PhoneToneDecoder, BlockSizeAndOddSplitsChangeNothing) {
    const std::vector<std::uint8_t> bytes = KeysSignal("90*A");
    TRecorder reference;
    {
        TPhoneToneDecoder decoder;
        reference.Attach(decoder);
        decoder.StartDecoding();
        Feed(decoder, bytes, 1024);
    }
    ASSERT_EQ(reference.Keys, "90*A");
    for (std::size_t blockSize : {1, 3, 77, 1023, 4096}) {
        TPhoneToneDecoder decoder;
        TRecorder heard;
        heard.Attach(decoder);
        decoder.StartDecoding();
        Feed(decoder, bytes, blockSize);
        EXPECT_EQ(heard.Keys, reference.Keys) << blockSize;
        EXPECT_EQ(heard.Positions, reference.Positions) << blockSize;
    }
}

TEST(PhoneToneDecoder, IgnoresBlocksBeforeStartDecodingAndKeepsAPressOnASecondStart) {
    TPhoneToneDecoder decoder;
    TRecorder heard;
    heard.Attach(decoder);
    EXPECT_EQ(Feed(decoder, KeysSignal("1"), 1024), 0);
    EXPECT_EQ(heard.Keys, "");

    // "On" clicked again in the middle of a press: the press still counts, positions go on.
    TDtmfSignal s;
    s.AppendSilence(100);
    s.AppendKey('3', 300, -12, -12);
    s.AppendSilence(200);
    const std::vector<std::uint8_t> bytes = s.ToBytes();
    decoder.StartDecoding();
    const std::size_t half = 1600 * 2; // 200 ms
    decoder.DecodeSamples(std::span<const std::uint8_t>(bytes.data(), half));
    decoder.StartDecoding();
    decoder.DecodeSamples(std::span<const std::uint8_t>(bytes.data() + half, bytes.size() - half));
    ASSERT_EQ(heard.Keys, "3");
    EXPECT_NEAR(static_cast<double>(heard.Positions[0]), 800, 8);
}

TEST(PhoneToneDecoder, AThrowingHandlerLosesNoKey) {
    TPhoneToneDecoder decoder;
    std::string keys;
    decoder.OnDTMF = [&keys](TComponent*, int key, std::int64_t) {
        keys += static_cast<char>(key);
        if (keys.size() == 1)
            throw std::runtime_error("handler failed");
    };
    decoder.StartDecoding();
    const std::vector<std::uint8_t> bytes = KeysSignal("12");
    // Both keys are recognised in this one call; the first handler call throws out of it.
    EXPECT_THROW(decoder.DecodeSamples(bytes), std::runtime_error);
    EXPECT_EQ(keys, "1");
    EXPECT_EQ(decoder.DecodeSamples(std::vector<std::uint8_t>(1024, 0)), 1);
    EXPECT_EQ(keys, "12");
}

TEST(PhoneToneDecoder, WorksWithoutAHandlerAndIsFreedByItsOwner) {
    TComponent owner;
    auto* decoder = new TPhoneToneDecoder(&owner);
    decoder->StartDecoding();
    EXPECT_EQ(Feed(*decoder, KeysSignal("5"), 1024), 1);
    EXPECT_EQ(owner.ComponentCount(), 1);
}
