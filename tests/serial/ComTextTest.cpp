#include "serial/ComText.h"

#include "serial/ComError.h"
#include "serial/ComThread.h"

#include <gtest/gtest.h>

TEST(ComText, ValuesAndTextsRoundTrip) {
    for (int v = brCustom; v <= br256000; ++v)
        EXPECT_EQ(TextToBaudRate(BaudRateText(static_cast<TBaudRate>(v))), v);
    for (int v = dbFive; v <= dbEight; ++v)
        EXPECT_EQ(TextToDataBits(DataBitsText(static_cast<TDataBits>(v))), v);
    for (int v = sbOneStopBit; v <= sbTwoStopBits; ++v)
        EXPECT_EQ(TextToStopBits(StopBitsText(static_cast<TStopBits>(v))), v);
    for (int v = prNone; v <= prSpace; ++v)
        EXPECT_EQ(TextToParity(ParityText(static_cast<TParityBits>(v))), v);
    for (int v = fcHardware; v <= fcCustom; ++v)
        EXPECT_EQ(TextToFlowControl(FlowControlText(static_cast<TFlowControl>(v))), v);
    EXPECT_EQ(BaudRateText(br1200), "1200");
    EXPECT_EQ(StopBitsText(sbOne5StopBits), "1.5");
    EXPECT_EQ(ParityText(prSpace), "Space");
}

TEST(ComText, LetterCaseOnlyIsIgnored) {
    EXPECT_EQ(TextToBaudRate("CUSTOM"), brCustom);
    EXPECT_EQ(TextToBaudRate("custom"), brCustom);
    EXPECT_EQ(TextToParity("eVeN"), prEven);
    EXPECT_EQ(TextToFlowControl("HARDWARE"), fcHardware);
    EXPECT_EQ(TextToStopBits("1.5"), sbOne5StopBits);
    // No trimming and no numeric reading.
    EXPECT_EQ(TextToBaudRate("1200 "), br9600);
    EXPECT_EQ(TextToBaudRate("01200"), br9600);
    EXPECT_EQ(TextToParity(" Odd"), prNone);
}

TEST(ComText, FallbacksForTextsWithoutEntry) {
    EXPECT_EQ(TextToBaudRate(""), br9600);
    EXPECT_EQ(TextToDataBits(""), dbEight);
    EXPECT_EQ(TextToStopBits(""), sbOneStopBit);
    EXPECT_EQ(TextToParity(""), prNone);
    EXPECT_EQ(TextToFlowControl(""), fcCustom);
    EXPECT_EQ(TextToFlowControl("RTS/CTS"), fcCustom);
    EXPECT_EQ(TextToDataBits("9"), dbEight);
    // A value outside its type (from a damaged store) has no text rather than a stray one.
    EXPECT_EQ(BaudRateText(static_cast<TBaudRate>(16)), "");
    EXPECT_EQ(ParityText(static_cast<TParityBits>(-1)), "");
}

TEST(ComError, MessagesKeepTheirCodes) {
    EXPECT_STREQ(PortErrorMessages[1], "Unable to open com port");
    EXPECT_STREQ(PortErrorMessages[14], "Cannot set property while connected");
    EXPECT_STREQ(PortErrorMessages[24], "Port Not Open");
    EXPECT_STREQ(PortErrorMessage(25), "");
    EComPort withOs(7, 5);
    EXPECT_EQ(std::string(withOs.what()), "SetCommState function failed (Error: 5)");
    EXPECT_EQ(withOs.OsError, 5);
    EComPort bare(24, -24);
    EXPECT_EQ(std::string(bare.what()), "Port Not Open");
    EXPECT_EQ(bare.OsError, -1);
    EXPECT_EQ(bare.PortErrorCode, 24);
    // Only the low 32 bits of a wide system error are kept.
    EComPort wide(2, (int64_t{1} << 32) + 3);
    EXPECT_EQ(wide.OsError, 3);
}

TEST(ComEvents, DriverMaskKeepsEachEventsBit) {
    EXPECT_EQ(EventsToMask({evRxChar}), 0x0001u);
    EXPECT_EQ(EventsToMask({evRxFlag, evTxEmpty}), 0x0006u);
    EXPECT_EQ(EventsToMask({evRing}), 0x0100u);
    EXPECT_EQ(EventsToMask({evRx80Full, evError}), 0x0480u);
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(MaskToEvents(0x05FF), AllComEvents);
    EXPECT_EQ(MaskToEvents(0x0200 | 0x0040), TComEvents{evBreak}); // 0x0200 names no event
}
