// lumisk.conf, the command line and the call time stamp.
#include "app/AppTestSupport.h"
#include "app/CallStamp.h"
#include "app/CommandLine.h"
#include "app/LumiskConf.h"

#include <gtest/gtest.h>

TEST(LumiskConf, ValuesCommentsAndDefaults) {
    TLumiskConf conf;
    EXPECT_EQ(conf.ModemPort, "ttyS2");
    EXPECT_EQ(conf.CallNumberWait, 10);
    conf.LoadFromText("; installer's file\n"
                      "[modem]\r\n"
                      "port = ttyACM0          ; device name under /dev\n"
                      "[call]\n"
                      "number_wait = 25\n"
                      "[upload]\n"
                      "host = ftp.example.org\n"
                      "port=2121\n"
                      "passive = 1\n"
                      "account1 = box1\n"
                      "account6 = box6\n"
                      "timeout = 30\n"
                      "# sound\n"
                      "[sound]\n"
                      "driver = sim\n"
                      "capture = /tmp/caller.fifo\n"
                      "playback = /tmp/heard.raw\n",
                      "lumisk.conf");
    EXPECT_TRUE(conf.Problems.empty()) << conf.Problems.front();
    EXPECT_EQ(conf.ModemPort, "ttyACM0");
    EXPECT_EQ(conf.CallNumberWait, 25);
    EXPECT_EQ(conf.UploadHost, "ftp.example.org");
    EXPECT_EQ(conf.UploadPort, 2121);
    EXPECT_TRUE(conf.UploadPassive);
    EXPECT_EQ(conf.UploadPassword, "mira318");
    EXPECT_EQ(conf.UploadAccounts[0], "box1");
    EXPECT_EQ(conf.UploadAccounts[5], "box6");
    EXPECT_EQ(conf.UploadTimeout, 30);
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
    EXPECT_EQ(conf.Problems[4], "/etc/lumisk.conf:7: [sound] driver: 'oss' is not alsa or sim");
    EXPECT_EQ(conf.Problems[5], "/etc/lumisk.conf:8: [sound]: expected 'key = value', found 'what'");
    EXPECT_EQ(conf.Problems[6], "/etc/lumisk.conf:9: [other]: unknown section");
    EXPECT_EQ(conf.UploadPort, 21);
    EXPECT_FALSE(conf.UploadPassive);
    EXPECT_EQ(conf.UploadTimeout, 60);
    EXPECT_EQ(conf.SoundDriver, "alsa");
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
