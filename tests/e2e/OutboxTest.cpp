// Messages the server could not take at the end of their call: kept in the box's outbox and
// delivered later by the box itself, under the remote name the call gave them, byte for byte and
// once, also across a crash of the box; and a "RING" that cuts a recording short loses nothing.
#include "E2eChecks.h"

#include <sys/stat.h>

using namespace e2e;

namespace {

class Outbox : public ::testing::Test {
protected:
    // The local recording of the call whose events start at the box's output line fromOut.
    std::string RecordingSince(int fromOut) {
        const int recording = rig.BoxEvent(" recording ", fromOut);
        EXPECT_GE(recording, 0) << rig.BoxProcess->AllText(TChildProcess::Out);
        return recording < 0 ? "" : EventText(rig.BoxProcess->Line(TChildProcess::Out, recording)).substr(10);
    }
    // The remote name in a "queued NAME (reason)" or "delivered NAME after N tries" line.
    static std::string RemoteOf(const std::string& line, const std::string& word) {
        std::string text = EventText(line).substr(word.size() + 1);
        return text.substr(0, text.find(word == "queued" ? " (" : " after "));
    }
    // The files the server holds for account mbox2, mailbox folder by folder.
    std::vector<std::string> StoredFiles() {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(rig.FtpRoot() + "/mbox2"))
            if (entry.is_regular_file())
                files.push_back(std::filesystem::relative(entry.path(), rig.FtpRoot() + "/mbox2").string());
        std::sort(files.begin(), files.end());
        return files;
    }
    // Each recording with the note stored beside it, as StoredFiles lists them.
    static std::vector<std::string> WithNotes(const std::vector<std::string>& recordings) {
        std::vector<std::string> files;
        for (const std::string& wav : recordings) {
            files.push_back(wav);
            files.push_back(wav.substr(0, wav.size() - 4) + ".txt");
        }
        std::sort(files.begin(), files.end());
        return files;
    }
    size_t Waiting() {
        size_t n = 0;
        if (std::filesystem::exists(rig.OutboxFolder()))
            for (const auto& entry : std::filesystem::directory_iterator(rig.OutboxFolder()))
                n += entry.path().extension() == ".msg";
        return n;
    }
    int CountEvents(const std::string& pattern) {
        const std::regex re(pattern);
        int n = 0;
        for (const std::string& line : rig.BoxProcess->Lines(TChildProcess::Out))
            n += std::regex_search(line, re);
        return n;
    }
    // A call through to the hang-up while the server is down: the message is queued.
    std::string CallWhileServerIsDown(int& fromOut) {
        fromOut = rig.BoxProcess->LineCount(TChildProcess::Out);
        const int fromLine = rig.StartCall("12345 key=60 gap=60 quiet=400 none");
        EXPECT_GE(rig.BoxEvent(" number 12345$", fromOut), 0);
        rig.Server->Stop();
        EXPECT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call hangup", fromLine), 0)
            << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Err);
        const int queued = rig.BoxEvent(" queued 12345/.*Connection refused", fromOut);
        EXPECT_GE(queued, 0) << rig.BoxProcess->AllText(TChildProcess::Out);
        return queued < 0 ? "" : RemoteOf(rig.BoxProcess->Line(TChildProcess::Out, queued), "queued");
    }
    TBoxRig rig{"outbox"};
};

TEST_F(Outbox, AMessageQueuedWhileTheServerIsDownIsDeliveredOnceItIsUpByteForByteAndOnce) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    // The command told of each delivery: a script that keeps its arguments and fails on purpose.
    const std::string told = rig.Folder + "/told.txt";
    WriteFile(rig.Folder + "/told.sh", "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + told + "\nexit 3\n");
    chmod((rig.Folder + "/told.sh").c_str(), 0755);
    TBoxSettings settings;
    settings.TimeLimitSeconds = 1;
    settings.OnDelivered = rig.Folder + "/told.sh";
    rig.StartBox(settings);

    int fromOut = 0;
    const std::string remote = CallWhileServerIsDown(fromOut);
    const std::string local = RecordingSince(fromOut);
    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD; ATH0");
    EXPECT_EQ(Waiting(), 1u);
    // Retries against the stopped server fail and keep the message.
    ASSERT_GE(rig.BoxEvent(" retry failed " + std::string("12345/"), fromOut), 0)
        << rig.BoxProcess->AllText(TChildProcess::Out);

    rig.Server->Start();
    const int delivered = rig.BoxEvent(" delivered 12345/.* after [0-9]+ tries$", fromOut);
    ASSERT_GE(delivered, 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_EQ(RemoteOf(rig.BoxProcess->Line(TChildProcess::Out, delivered), "delivered"), remote);
    EXPECT_EQ(ReadFile(rig.Server->FilePath("mbox2", remote)), ReadFile(local));
    EXPECT_TRUE(IsCompleteWave(local));
    ASSERT_GE(rig.BoxEvent(" on_delivered exit 3$", delivered), 0)
        << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_EQ(ReadFile(told),
              "12345\n" + remote + "\n" + local + "\n" + local.substr(0, local.size() - 4) + ".txt\n");

    // Once: one file on the server, nothing left to send, one delivery reported.
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(StoredFiles(), WithNotes({remote}));
    // The next call goes straight through and is told as well.
    const int next = rig.BoxProcess->LineCount(TChildProcess::Out);
    const int end = rig.Call("12345 key=60 gap=60 quiet=400 none");
    ASSERT_GE(end, 0);
    EXPECT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u);
    EXPECT_GE(rig.BoxEvent(" on_delivered exit 3$", next), 0);
    EXPECT_EQ(CountEvents(" delivered "), 1);
    EXPECT_EQ(StoredFiles().size(), 4u); // two recordings, each with its note
}

TEST_F(Outbox, AMessageWaitingWhenTheBoxIsKilledIsDeliveredAfterTheRestart) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345");
    TBoxSettings settings;
    settings.TimeLimitSeconds = 1;
    settings.RetryFirst = 30; // no retry before the kill
    settings.RetryMax = 60;
    rig.StartBox(settings);
    int fromOut = 0;
    const std::string remote = CallWhileServerIsDown(fromOut);
    const std::string local = RecordingSince(fromOut);
    ASSERT_EQ(Waiting(), 1u);

    rig.BoxProcess->Stop(SIGKILL);
    rig.Server->Start();
    EXPECT_EQ(Waiting(), 1u);
    rig.StartBox(settings);
    // The call's own try and at least the one after the restart.
    const int delivered = rig.BoxEvent(" delivered " + std::string("12345/"));
    ASSERT_GE(delivered, 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    const std::string line = EventText(rig.BoxProcess->Line(TChildProcess::Out, delivered));
    const std::string want = "delivered " + remote + " after ";
    EXPECT_EQ(line.rfind(want, 0), 0u) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_GE(std::atoi(line.c_str() + std::min(want.size(), line.size())), 2) << line;
    EXPECT_EQ(ReadFile(rig.Server->FilePath("mbox2", remote)), ReadFile(local));
    EXPECT_EQ(StoredFiles(), WithNotes({remote}));
    EXPECT_EQ(Waiting(), 0u);
}

TEST_F(Outbox, ARingWhileRecordingAnswersTheNewCallAndBothMessagesReachTheServer) {
    rig.StartServer(TFtpServer::PyFtpdLib, "12345,12346");
    TBoxSettings settings;
    settings.TimeLimitSeconds = 10;
    rig.StartBox(settings);
    // The first caller starts speaking and hangs up long before the time limit.
    const int firstLine = rig.StartCall("12345 key=60 gap=60 quiet=400 tone 8");
    const std::string first = RecordingSince(0);
    rig.Line->Write("abort");
    ASSERT_GE(rig.Line->WaitLine(TChildProcess::Out, "^call failed aborted", firstLine), 0);

    // The next ring comes while the box still records the first message.
    const int fromOut = rig.BoxProcess->LineCount(TChildProcess::Out);
    const int end = rig.Call("12346 key=60 gap=60 quiet=400 tone 1");
    ASSERT_GE(end, 0);
    EXPECT_EQ(rig.Line->Line(TChildProcess::Out, end).rfind("call hangup", 0), 0u)
        << rig.Line->AllText(TChildProcess::Out) << rig.BoxProcess->AllText(TChildProcess::Out);
    EXPECT_GE(rig.BoxEvent(" queued 12345/.*ring", fromOut), 0)
        << rig.BoxProcess->AllText(TChildProcess::Out);
    const std::string second = RecordingSince(fromOut);
    const int delivered = rig.BoxEvent(" delivered 12345/", fromOut);
    ASSERT_GE(delivered, 0) << rig.BoxProcess->AllText(TChildProcess::Out);
    const std::string firstRemote =
        RemoteOf(rig.BoxProcess->Line(TChildProcess::Out, delivered), "delivered");
    const int done = rig.BoxEvent(" upload done 12346/", fromOut);
    ASSERT_GE(done, 0);
    std::string secondRemote = EventText(rig.BoxProcess->Line(TChildProcess::Out, done)).substr(12);
    secondRemote.resize(secondRemote.find(" as mbox2@"));

    EXPECT_EQ(Joined(rig.ModemLines()), "ATM1 ATH1 ATDD; ATH1 ATDD; ATH0");
    EXPECT_TRUE(IsCompleteWave(first));
    EXPECT_EQ(ReadFile(rig.Server->FilePath("mbox2", firstRemote)), ReadFile(first));
    EXPECT_EQ(ReadFile(rig.Server->FilePath("mbox2", secondRemote)), ReadFile(second));
    EXPECT_EQ(StoredFiles(), WithNotes({firstRemote, secondRemote}));
    EXPECT_EQ(rig.BoxProcess->AllText(TChildProcess::Err).find("error"), std::string::npos)
        << rig.BoxProcess->AllText(TChildProcess::Err);
}

} // namespace
