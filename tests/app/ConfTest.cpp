// lumisk.conf, the command line and the call time stamp.
#include "app/AppTestSupport.h"
#include "app/CallStamp.h"
#include "app/CommandLine.h"
#include "app/ConfFileAccess.h"
#include "app/InstallLayout.h"
#include "app/LumiskConf.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(LumiskConf, ValuesCommentsAndDefaults) {
    TLumiskConf conf;
    EXPECT_EQ(conf.ModemPort, "ttyS2");
    EXPECT_EQ(conf.CallNumberWait, 10);
    conf.LoadFromText("; installer's file\n"
                      "[modem]\r\n"
                      "port = ttyACM0          ; device name under /dev\n"
                      "[call]\n"
                      "number_wait = 25\n"
                      "check_mailbox = No\n"
                      "check_wait = 5\n"
                      "[upload]\n"
                      "host = ftp.example.org\n"
                      "port=2121\n"
                      "passive = 1\n"
                      "account1 = box1\n"
                      "account6 = box6\n"
                      "timeout = 30\n"
                      "outbox = /var/spool/lumisk\n"
                      "retry_first = 5\n"
                      "retry_max = 600\n"
                      "on_delivered = /usr/local/bin/page\n"
                      "# sound\n"
                      "[sound]\n"
                      "driver = sim\n"
                      "capture = /tmp/caller.fifo\n"
                      "playback = /tmp/heard.raw\n",
                      "lumisk.conf");
    EXPECT_TRUE(conf.Problems.empty()) << conf.Problems.front();
    EXPECT_EQ(conf.ModemPort, "ttyACM0");
    EXPECT_EQ(conf.CallNumberWait, 25);
    EXPECT_FALSE(conf.CallCheckMailbox);
    EXPECT_EQ(conf.CallCheckWait, 5);
    EXPECT_TRUE(TLumiskConf().CallCheckMailbox);
    EXPECT_EQ(TLumiskConf().CallCheckWait, 2);
    EXPECT_EQ(conf.UploadHost, "ftp.example.org");
    EXPECT_EQ(conf.UploadPort, 2121);
    EXPECT_TRUE(conf.UploadPassive);
    EXPECT_EQ(conf.UploadPassword, "mira318");
    EXPECT_EQ(conf.UploadAccounts[0], "box1");
    EXPECT_EQ(conf.UploadAccounts[5], "box6");
    EXPECT_EQ(conf.UploadTimeout, 30);
    EXPECT_EQ(conf.UploadOutbox, "/var/spool/lumisk");
    EXPECT_EQ(conf.UploadRetryFirst, 5);
    EXPECT_EQ(conf.UploadRetryMax, 600);
    EXPECT_EQ(conf.UploadOnDelivered, "/usr/local/bin/page");
    EXPECT_EQ(TLumiskConf().UploadOutbox, "outbox");
    EXPECT_EQ(TLumiskConf().UploadRetryFirst, 30);
    EXPECT_EQ(TLumiskConf().UploadRetryMax, 900);
    EXPECT_TRUE(TLumiskConf().UploadOnDelivered.empty());
    EXPECT_EQ(conf.SoundDriver, "sim");
    EXPECT_EQ(conf.SoundCapture, "/tmp/caller.fifo");
    EXPECT_EQ(conf.SoundPlayback, "/tmp/heard.raw");
}

TEST(LumiskConf, BadValuesAreReportedWithFileLineAndKeyAndKeepTheDefault) {
    TLumiskConf conf;
    conf.LoadFromText("[upload]\nport = 70000\npassive = yes\ntimeout = x\nbogus = 1\n[sound]\ndriver = oss\n"
                      "what\n[other]\n",
                      "/etc/lumisk.conf");
    ASSERT_EQ(conf.Problems.size(), 7u);
    EXPECT_EQ(conf.Problems[0], "/etc/lumisk.conf:2: [upload] port: '70000' is not a number from 1 to 65535");
    EXPECT_EQ(conf.Problems[1], "/etc/lumisk.conf:3: [upload] passive: 'yes' is not 0 or 1");
    EXPECT_EQ(conf.Problems[2], "/etc/lumisk.conf:4: [upload] timeout: 'x' is not a number from 1 to 86400");
    EXPECT_EQ(conf.Problems[3], "/etc/lumisk.conf:5: [upload] bogus: unknown key");
    EXPECT_EQ(conf.Problems[4], "/etc/lumisk.conf:7: [sound] driver: 'oss' is not alsa, sim or modem");
    EXPECT_EQ(conf.Problems[5], "/etc/lumisk.conf:8: [sound]: expected 'key = value', found 'what'");
    EXPECT_EQ(conf.Problems[6], "/etc/lumisk.conf:9: [other]: unknown section");
    EXPECT_EQ(conf.UploadPort, 21);
    EXPECT_FALSE(conf.UploadPassive);
    EXPECT_EQ(conf.UploadTimeout, 60);
    EXPECT_EQ(conf.SoundDriver, "alsa");
}

TEST(LumiskConf, TlsAndPassiveAddressKeys) {
    TLumiskConf defaults;
    EXPECT_EQ(defaults.UploadTls, TUploadTls::Off);
    EXPECT_FALSE(defaults.UploadPasvFromReply);
    TLumiskConf conf;
    conf.LoadFromText("[upload]\ntls = Require\ncafile = /etc/lumisk/ca.pem\nservername = ftp.example.org\n"
                      "pasv_address = reply\n",
                      "lumisk.conf");
    EXPECT_TRUE(conf.Problems.empty()) << conf.Problems.front();
    EXPECT_EQ(conf.UploadTls, TUploadTls::Require);
    EXPECT_EQ(conf.UploadCaFile, "/etc/lumisk/ca.pem");
    EXPECT_EQ(conf.UploadServerName, "ftp.example.org");
    EXPECT_TRUE(conf.UploadPasvFromReply);
    TLumiskConf bad;
    bad.LoadFromText("[upload]\ntls = yes\npasv_address = server\n", "lumisk.conf");
    EXPECT_EQ(bad.Problems, (std::vector<std::string>{
                                "lumisk.conf:2: [upload] tls: 'yes' is not off, try or require",
                                "lumisk.conf:3: [upload] pasv_address: 'server' is not peer or reply"}));
    EXPECT_EQ(bad.UploadTls, TUploadTls::Off);
}

TEST(LumiskConf, AMissingFileIsFineUnlessNamedOnTheCommandLine) {
    TTempFolder folder("conf");
    TLumiskConf quiet;
    quiet.LoadFromFile(folder.File("lumisk.conf"), false);
    EXPECT_TRUE(quiet.Problems.empty());
    TLumiskConf named;
    named.LoadFromFile(folder.File("lumisk.conf"), true);
    ASSERT_EQ(named.Problems.size(), 1u);
    EXPECT_NE(named.Problems[0].find(folder.File("lumisk.conf")), std::string::npos);

    WriteFile(folder.File("lumisk.conf"), "[modem]\nport = /dev/pts/9\n");
    TLumiskConf read;
    read.LoadFromFile(folder.File("lumisk.conf"), true);
    EXPECT_TRUE(read.Problems.empty());
    EXPECT_EQ(read.ModemPort, "/dev/pts/9");
}

TEST(ConfFileAccess, OpenToOthersOrOwnedByAnotherUserIsSaidOnce) {
    TTempFolder folder("conf-access");
    const std::string file = folder.File("lumisk.conf");
    EXPECT_EQ(ConfFileExposure(file), ""); // no file, no password
    WriteFile(file, "[upload]\npassword = secret\n");
    for (mode_t fine : {0600, 0640, 0400}) {
        ::chmod(file.c_str(), fine);
        EXPECT_EQ(ConfFileExposure(file), "") << fine;
    }
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(ConfFileExposure(file), "WARNING: " + file +
                                          " holds the upload password, but its permissions 0644 "
                                          "are more than 0640 (chmod 640 " +
                                          file + ").");
    ::chmod(file.c_str(), 0660);
    EXPECT_NE(ConfFileExposure(file).find("0660"), std::string::npos);
    if (::geteuid() == 0) {
        ::chmod(file.c_str(), 0640);
        ASSERT_EQ(::chown(file.c_str(), 4242, static_cast<gid_t>(-1)), 0);
        EXPECT_NE(ConfFileExposure(file).find("belongs to another user (uid 4242)"), std::string::npos);
    }
}

TEST(CommandLine, ConfigOption) {
    TCommandLine none = ParseCommandLine({}, "/opt/lumisk");
    EXPECT_EQ(none.ConfigPath, "/opt/lumisk/lumisk.conf");
    EXPECT_FALSE(none.ConfigGiven);
    TCommandLine given = ParseCommandLine({"--config", "/etc/box.conf"}, "/opt/lumisk");
    EXPECT_EQ(given.ConfigPath, "/etc/box.conf");
    EXPECT_TRUE(given.ConfigGiven);
    EXPECT_EQ(ParseCommandLine({"--config=/x.conf"}, "/o").ConfigPath, "/x.conf");
    EXPECT_FALSE(ParseCommandLine({"--config"}, "/o").Error.empty());
    EXPECT_FALSE(ParseCommandLine({"--config="}, "/o").Error.empty());
    EXPECT_FALSE(ParseCommandLine({"-x"}, "/o").Error.empty());
}

// The build tree's program keeps everything beside itself; the installed one reads /etc/lumisk,
// plays the shared prompts and works in the current folder, or in the one --workdir names.
TEST(CommandLine, FoldersOfABuiltAndAnInstalledBox) {
    TLumiskConf conf;
    TCommandLine built = ParseCommandLine({"--headless"}, "/opt/lumisk");
    TBoxFolders folders = ResolveBoxFolders(built, conf, "/opt/lumisk");
    EXPECT_EQ(folders.Work, "/opt/lumisk");
    EXPECT_EQ(folders.Prompts, "");

    const std::string bin = InstalledBinFolder();
    TCommandLine installed = ParseCommandLine({"--check", "--no-modem"}, bin);
    EXPECT_TRUE(installed.Error.empty()) << installed.Error;
    EXPECT_EQ(installed.ConfigPath, InstalledConfigPath());
    folders = ResolveBoxFolders(installed, conf, bin);
    EXPECT_EQ(folders.Work, std::filesystem::current_path().string());
    EXPECT_EQ(folders.Prompts, InstalledPromptFolder());

    TCommandLine service = ParseCommandLine(
        {"--headless", "--config", "/etc/lumisk/ttyACM0.conf", "--workdir=/var/lib/lumisk/ttyACM0"}, bin);
    conf.LoadFromText("[box]\nprompts = own\n", "ttyACM0.conf");
    folders = ResolveBoxFolders(service, conf, bin);
    EXPECT_EQ(folders.Work, "/var/lib/lumisk/ttyACM0");
    EXPECT_EQ(folders.Prompts, "/var/lib/lumisk/ttyACM0/own");
    EXPECT_EQ(PromptPath(folders.Prompts, "beep.wav"), "/var/lib/lumisk/ttyACM0/own/beep.wav");
    EXPECT_EQ(PromptPath("", "beep.wav"), "beep.wav");

    EXPECT_FALSE(ParseCommandLine({"--workdir"}, bin).Error.empty());
    EXPECT_EQ(ParseCommandLine({"--headless", "--no-modem"}, bin).Error, "--no-modem goes with --check");
}

TEST(CallStamp, LocaleFormsAndHex) {
    setenv("TZ", "UTC", 1);
    tzset();
    std::setlocale(LC_ALL, "C");
    // 2026-12-08 09:05:01 UTC
    EXPECT_EQ(FormatCallStamp(1796720701), "12/08/26_09:05:01");
    EXPECT_EQ(TextToHex("8/12/26_9:05:01"), "382F31322F32365F393A30353A3031");
    EXPECT_EQ(TextToHex(""), "");
    EXPECT_EQ(TextToHex("\xff\x01"), "FF01");
}
