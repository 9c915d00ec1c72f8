// The upload's account by mailbox range and the remote name under different date formats.
#include "app/MailboxUpload.h"

#include "app/CallStamp.h"

#include <clocale>
#include <gtest/gtest.h>

TEST(MailboxUpload, EachRangeHasItsAccount) {
    const std::pair<int, int> cases[] = {{-5, 0},    {0, 0},     {7, 0},     {9999, 0},   {10000, 1},
                                         {19999, 1}, {20000, 2}, {29999, 2}, {30000, 3},  {39999, 3},
                                         {40000, 4}, {49999, 4}, {50000, 5}, {123456, 5}, {2147483647, 5}};
    for (const auto& [mailbox, account] : cases)
        EXPECT_EQ(UploadAccountIndex(mailbox), account) << mailbox;
}

TEST(MailboxUpload, SlashesOfTheDateBecomeDashesInTheRemoteNameOnly) {
    // The C locale's short date, and en_US's with a 12-hour clock.
    EXPECT_EQ(RemoteFileName("12345", "12/09/26_14:05:09"), "12345/12-09-26_14:05:09.wav");
    EXPECT_EQ(RemoteFileName("007", "12/9/2026_2:05:09 PM"), "007/12-9-2026_2:05:09 PM.wav");
    EXPECT_EQ(RemoteFileName("12345", "2026\\12\\09_14:05:09"), "12345/2026-12-09_14:05:09.wav");
    // A dotted date keeps the names mailboxes already have.
    EXPECT_EQ(RemoteFileName("12345", "08.12.2026_14:05:09"), "12345/08.12.2026_14:05:09.wav");
    // The mailbox number stays as keyed.
    EXPECT_EQ(RemoteFileName("", "08.12.2026_14:05:09"), "/08.12.2026_14:05:09.wav");
}

TEST(MailboxUpload, TheCallStampOfTheCLocaleMakesOneFolderLevel) {
    std::setlocale(LC_ALL, "C");
    const std::string name = RemoteFileName("12345", FormatCallStamp(1765288800));
    EXPECT_EQ(name.find('/'), 5u);
    EXPECT_EQ(name.find('/', 6), std::string::npos) << name;
}
