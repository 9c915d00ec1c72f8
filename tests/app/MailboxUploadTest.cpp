// The upload's account by mailbox range, the remote name under different date formats, and the
// client the box sets up from lumisk.conf.
#include "app/MailboxUpload.h"

#include "app/CallStamp.h"
#include "app/LumiskConf.h"
#include "app/UploadClient.h"
#include "net/FtpServerFixture.h"
#include "net/TestCertificates.h"

#include <clocale>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

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

TEST(UploadClient, TheBoxsSettingsTakeTheRecordingOverTls) {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path() / ("lumisk-upload-tls-" + std::to_string(::getpid()));
    {
        TestCertificates certificates((base / "pki").string());
        TestFtpServer server(TestFtpServer::PureFtpd, (base / "srv").string(), {"20001"},
                             TestFtpServer::Accounts(), certificates.ServerPem());
        TLumiskConf conf;
        conf.LoadFromText("[upload]\nhost = 127.0.0.1\nport = " + std::to_string(server.Port()) +
                              "\npassive = 1\ntimeout = 30\naccount3 = mbox3\ntls = require\ncafile = " +
                              certificates.Ca() + "\nservername = ftp.lumisk.test\npasv_address = peer\n",
                          "lumisk.conf");
        ASSERT_TRUE(conf.Problems.empty()) << conf.Problems.front();
        const std::string local = (base / "call.wav").string();
        std::ofstream(local, std::ios::binary) << std::string(40000, 'w');
        TIdFTP ftp;
        ConfigureUploadClient(ftp, conf, UploadAccountIndex(20001));
        ftp.OpenSession(true);
        EXPECT_TRUE(ftp.TlsActive());
        ftp.StoreFile(local, "20001/call.wav", false);
        ftp.SendQuit();
        std::ifstream stored(server.FilePath("mbox3", "20001/call.wav"), std::ios::binary);
        std::ostringstream bytes;
        bytes << stored.rdbuf();
        EXPECT_EQ(bytes.str(), std::string(40000, 'w'));
    }
    fs::remove_all(base);
}
