// Uploads against two real FTP servers on 127.0.0.1: pyftpdlib and pure-ftpd with virtual users
// (their real multi-line replies and different error codes).
#include "net/FtpServerFixture.h"
#include "net/IdException.h"
#include "net/IdFTP.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string WriteRandomFile(const std::string& path, size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    return data;
}

class RealServer : public ::testing::TestWithParam<TestFtpServer::Kind> {
protected:
    static void SetUpTestSuite() {
        base = fs::temp_directory_path() / ("lumisk-ftp-" + std::to_string(::getpid()));
        fs::create_directories(base / "local");
    }
    static void TearDownTestSuite() {
        for (auto& s : servers)
            s.reset();
        fs::remove_all(base);
    }

    // Started on first use: CTest runs each case in its own process and needs only one kind.
    TestFtpServer& Server() {
        const TestFtpServer::Kind kind = GetParam();
        if (!servers[kind]) {
            const std::string root =
                (base / (kind == TestFtpServer::PyFtpdLib ? "pyftpdlib" : "pure-ftpd")).string();
            servers[kind] =
                std::make_unique<TestFtpServer>(kind, root, std::vector<std::string>{"12345", "007"});
        }
        return *servers[kind];
    }
    void Connect(TIdFTP& ftp, const std::string& user,
                 const std::string& password = TestFtpServer::Password) {
        ftp.Host = "127.0.0.1";
        ftp.Port = Server().Port();
        ftp.User = user;
        ftp.Password = password;
        ftp.ReadTimeout = 30000;
    }
    std::string Local(const std::string& name) { return (base / "local" / name).string(); }

    static inline fs::path base;
    static inline std::unique_ptr<TestFtpServer> servers[2];
};

std::string KindName(const ::testing::TestParamInfo<TestFtpServer::Kind>& info) {
    return info.param == TestFtpServer::PyFtpdLib ? "pyftpdlib" : "pureftpd";
}

} // namespace

TEST_P(RealServer, StoresEveryFileSizeByteForByteInBothModes) {
    const size_t sizes[] = {0, 1, 32768, 32769, 10u << 20};
    int n = 0;
    for (bool passive : {false, true}) {
        for (size_t size : sizes) {
            SCOPED_TRACE(std::string(passive ? "passive " : "active ") + std::to_string(size));
            const std::string account = TestFtpServer::Accounts()[static_cast<size_t>(n % 6)];
            const std::string name = "up" + std::to_string(n++) + ".bin";
            const std::string data = WriteRandomFile(Local(name), size, static_cast<unsigned>(n));
            TIdFTP ftp;
            Connect(ftp, account);
            ftp.Passive = passive;
            // The stored size is asked after every store, and a real server answers it.
            std::string sizeReply;
            bool askedSize = false;
            ftp.OnDialogue = [&](TIdComponent*, bool outgoing, const std::string& line) {
                if (outgoing)
                    askedSize = line.rfind("SIZE ", 0) == 0;
                else if (askedSize)
                    sizeReply = line;
            };
            ftp.OpenSession(true);
            ftp.StoreFile(Local(name), "12345/" + name, false);
            EXPECT_EQ(sizeReply, "213 " + std::to_string(size));
            ftp.SendQuit();
            ftp.CloseConnection();
            EXPECT_EQ(ftp.DataConnection(), nullptr);
            const std::string stored = ReadFile(Server().FilePath(account, "12345/" + name));
            ASSERT_EQ(stored.size(), data.size());
            EXPECT_TRUE(stored == data);
        }
    }
}

TEST_P(RealServer, MailboxNamesWithColonsAreStored) {
    const std::string remote = "007/08.12.2026_14:05:09.wav";
    const std::string data = WriteRandomFile(Local("colon.wav"), 5000, 7);
    TIdFTP ftp;
    Connect(ftp, "mbox1");
    ftp.OpenSession(true);
    EXPECT_FALSE(ftp.SystemDescription().empty());
    ftp.StoreFile(Local("colon.wav"), remote, false);
    ftp.SendQuit();
    EXPECT_EQ(ReadFile(Server().FilePath("mbox1", remote)), data);
}

TEST_P(RealServer, MissingFolderFailsWithTheServersCodeAndStaysLoggedIn) {
    WriteRandomFile(Local("lost.wav"), 40000, 3);
    for (bool passive : {false, true}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        TIdFTP ftp;
        Connect(ftp, "mbox4");
        ftp.Passive = passive;
        ftp.OpenSession(true);
        try {
            ftp.StoreFile(Local("lost.wav"), "99999/lost.wav", false);
            FAIL() << "stored";
        } catch (const EIdProtocolReplyError& e) {
            EXPECT_EQ(e.ErrorReplyCode, GetParam() == TestFtpServer::PyFtpdLib ? 550 : 553) << e.Message();
            EXPECT_EQ(e.Message().substr(0, 4), std::to_string(e.ErrorReplyCode) + " ");
        }
        EXPECT_EQ(ftp.DataConnection(), nullptr);
        // Same control connection, still logged in: the next store works.
        ASSERT_TRUE(ftp.IsConnected());
        ftp.StoreFile(Local("lost.wav"), "12345/found.wav", false);
        EXPECT_EQ(ReadFile(Server().FilePath("mbox4", "12345/found.wav")), ReadFile(Local("lost.wav")));
        ftp.SendQuit();
    }
}

// The self-check's listing: the home's folders by name, and the session goes on to store.
TEST_P(RealServer, ListsTheHomeInBothModesAndStoresAfterwards) {
    WriteRandomFile(Local("after.wav"), 5000, 4);
    for (bool passive : {false, true}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        TIdFTP ftp;
        Connect(ftp, "mbox6");
        ftp.Passive = passive;
        ftp.OpenSession(true);
        std::vector<std::string> names;
        ftp.ListNames(names);
        for (const char* folder : {"12345", "007"})
            EXPECT_NE(std::find(names.begin(), names.end(), folder), names.end()) << folder;
        EXPECT_EQ(ftp.DataConnection(), nullptr);
        ftp.StoreFile(Local("after.wav"), "12345/after.wav", false);
        EXPECT_EQ(ReadFile(Server().FilePath("mbox6", "12345/after.wav")), ReadFile(Local("after.wav")));
        ftp.SendQuit();
    }
}

// The mailbox check's question: an existing folder is entered (a relative store then lands in
// it), a missing one or a file is answered false, and the session goes on either way.
TEST_P(RealServer, ChangesIntoAnExistingFolderAndTellsAMissingOneApart) {
    WriteRandomFile(Local("inside.wav"), 3000, 5);
    TIdFTP ftp;
    Connect(ftp, "mbox3");
    ftp.OpenSession(true);
    ftp.StoreFile(Local("inside.wav"), "007/plain.wav", false);
    EXPECT_FALSE(ftp.ChangeDirIfExists("99999"));
    EXPECT_FALSE(ftp.ChangeDirIfExists("007/plain.wav"));
    ASSERT_TRUE(ftp.ChangeDirIfExists("12345"));
    ftp.StoreFile(Local("inside.wav"), "inside.wav", false);
    EXPECT_EQ(ReadFile(Server().FilePath("mbox3", "12345/inside.wav")), ReadFile(Local("inside.wav")));
    ftp.SendQuit();
}

TEST_P(RealServer, WrongPasswordFailsTheSessionAndTheClientCanLogInAgain) {
    TIdFTP ftp;
    Connect(ftp, "mbox5", "wrong");
    try {
        ftp.OpenSession(true);
        FAIL() << "logged in";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ErrorReplyCode, 530);
        EXPECT_EQ(e.Message().substr(0, 4), "530 ");
    }
    EXPECT_FALSE(ftp.IsConnected());
    ftp.Password = TestFtpServer::Password;
    ftp.OpenSession(true);
    EXPECT_TRUE(ftp.IsConnected());
    ftp.SendQuit();
    EXPECT_FALSE(ftp.IsConnected());
}

TEST_P(RealServer, MissingLocalFileSendsNothingAndKeepsTheSession) {
    TIdFTP ftp;
    Connect(ftp, "mbox6");
    std::vector<std::string> sent;
    ftp.OnDialogue = [&](TIdComponent*, bool outgoing, const std::string& line) {
        if (outgoing)
            sent.push_back(line);
    };
    ftp.OpenSession(true);
    sent.clear();
    EXPECT_THROW(ftp.StoreFile(Local("absent.wav"), "12345/absent.wav", false), EFOpenError);
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(ftp.IsConnected());
    ftp.SendQuit();
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServer,
                         ::testing::Values(TestFtpServer::PyFtpdLib, TestFtpServer::PureFtpd), KindName);
