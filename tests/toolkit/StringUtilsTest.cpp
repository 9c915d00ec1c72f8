#include "toolkit/StringUtils.h"

#include "toolkit/Exception.h"

#include <gtest/gtest.h>

TEST(StrToInt, AcceptsSignedDecimalText) {
    EXPECT_EQ(StrToInt("-5"), -5);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
}

TEST(StrToInt, RejectsAnythingElseWithTheTextAsGiven) {
    for (const char* text : {" 1", "1 ", "", "0x10", "1e3", "2147483648", "-2147483649", "+", "-", "1-",
                             "99999999999999999999"}) {
        try {
            StrToInt(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + text + "' is not a valid integer value");
        }
    }
}

TEST(Format, FormatsLikePrintf) {
    EXPECT_EQ(Format("%dHz %dbit %s", 8000, 16, "Mono"), "8000Hz 16bit Mono");
    EXPECT_EQ(Format("%s", std::string(5000, 'x').c_str()).size(), 5000u);
    EXPECT_EQ(EListError::IndexOutOfBounds(-1).Message(), "List index out of bounds (-1)");
    EXPECT_EQ(EInOutError(2).Message(), "I/O error 2");
}
