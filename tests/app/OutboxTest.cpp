// The outbox on disk across crashes: whatever moment a crash hits while a message is added,
// the next listing sees the message whole or not at all, and a delivered message never comes
// back. The crash moments are set up as the files they leave behind.
#include "app/Outbox.h"

#include "app/AppTestSupport.h"
#include "toolkit/Exception.h"

#include <filesystem>
#include <gtest/gtest.h>

TEST(Outbox, AMessageSurvivesEveryCrashMomentWholeOrNotAtAll) {
    TTempFolder folder("outbox");
    const std::string recording = folder.File("call.wav");
    WriteFile(recording, std::string("RIFF recording bytes \0\x01\x02", 24));
    TOutbox outbox(folder.File("outbox"));
    const std::string remote = "12345/10.12.2026_09:30:00.wav";
    const TOutboxMessage added = outbox.Add(recording, "12345", remote, 1, 1, "Connection refused.");

    // Added: one message, its own copy, all fields back.
    std::vector<TOutboxMessage> pending = outbox.Pending();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].RemoteName, remote);
    EXPECT_EQ(pending[0].Mailbox, "12345");
    EXPECT_EQ(pending[0].AccountIndex, 1);
    EXPECT_EQ(pending[0].OriginalFile, recording);
    EXPECT_EQ(pending[0].Tries, 1);
    EXPECT_EQ(ReadFile(pending[0].WavePath), ReadFile(recording));

    // A crash between the two renames: the copy has its name, the record only its temporary one.
    const std::string dir = folder.File("outbox");
    std::filesystem::rename(added.MetaPath, added.MetaPath + ".tmp");
    ASSERT_EQ(outbox.Pending().size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(added.MetaPath));
    // A crash while copying or before the record is whole: nothing is taken for a message.
    WriteFile(dir + "/0000000000001-0001.wav.tmp", "half a copy");
    WriteFile(dir + "/0000000000002-0001.wav", "a copy");
    WriteFile(dir + "/0000000000002-0001.msg.tmp", "mailbox=7\nremote=7/x.wav\nacc");
    WriteFile(dir + "/0000000000003-0001.msg", "mailbox=7\nremote=7/y.wav\naccount=0\nend\n"); // copy gone
    pending = outbox.Pending();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].RemoteName, remote);
    EXPECT_FALSE(std::filesystem::exists(dir + "/0000000000001-0001.wav.tmp"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/0000000000002-0001.msg.tmp"));

    // A failed try is recorded in place; delivered, it is gone for good.
    pending[0].Tries = 2;
    outbox.Update(pending[0]);
    EXPECT_EQ(outbox.Pending().at(0).Tries, 2);
    outbox.Remove(pending[0]);
    EXPECT_TRUE(outbox.Pending().empty());

    // A missing mailbox folder: the message is moved aside with its record.
    TOutbox undeliverable(dir + "/undeliverable");
    const TOutboxMessage second = outbox.Add(recording, "42", "42/x.wav", 0, 1, "");
    const TOutboxMessage moved = outbox.MoveTo(undeliverable, second);
    EXPECT_TRUE(outbox.Pending().empty());
    ASSERT_EQ(undeliverable.Pending().size(), 1u);
    EXPECT_EQ(ReadFile(moved.WavePath), ReadFile(recording));

    // A recording that cannot be read leaves nothing behind.
    EXPECT_THROW(outbox.Add(folder.File("missing.wav"), "1", "1/x.wav", 0, 1, ""), Exception);
    EXPECT_TRUE(outbox.Pending().empty());
}
