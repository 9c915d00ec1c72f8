// Uploads over explicit TLS to real servers on 127.0.0.1 (pure-ftpd and pyftpdlib, both refusing
// clear text), with authorities and a certificate the test makes itself.
#include "net/FtpServerFixture.h"
#include "net/IdException.h"
#include "net/IdFTP.h"
#include "net/TestCertificates.h"

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

class TlsServer : public ::testing::TestWithParam<TestFtpServer::Kind> {
protected:
    static void SetUpTestSuite() {
        base = fs::temp_directory_path() / ("lumisk-ftps-" + std::to_string(::getpid()));
        fs::create_directories(base / "local");
        certificates = std::make_unique<TestCertificates>((base / "pki").string());
    }
    static void TearDownTestSuite() {
        for (auto& s : servers)
            s.reset();
        certificates.reset();
        fs::remove_all(base);
    }

    TestFtpServer& Server() {
        const TestFtpServer::Kind kind = GetParam();
        if (!servers[kind]) {
            const std::string root =
                (base / (kind == TestFtpServer::PyFtpdLib ? "pyftpdlib" : "pure-ftpd")).string();
            servers[kind] =
                std::make_unique<TestFtpServer>(kind, root, std::vector<std::string>{"12345"},
                                                TestFtpServer::Accounts(), certificates->ServerPem());
        }
        return *servers[kind];
    }
    // Logs every line the client sends.
    void Prepare(TIdFTP& ftp, TIdFTPTls tls, std::vector<std::string>& sent) {
        ftp.Host = "127.0.0.1";
        ftp.Port = Server().Port();
        ftp.User = "mbox3";
        ftp.Password = TestFtpServer::Password;
        ftp.ReadTimeout = 30000;
        ftp.Tls = tls;
        ftp.TlsCaFile = certificates->Ca();
        ftp.OnDialogue = [&sent](TIdComponent*, bool outgoing, const std::string& line) {
            if (outgoing)
                sent.push_back(line);
        };
    }
    std::string Local(const std::string& name) { return (base / "local" / name).string(); }

    static inline fs::path base;
    static inline std::unique_ptr<TestCertificates> certificates;
    static inline std::unique_ptr<TestFtpServer> servers[2];
};

std::string KindName(const ::testing::TestParamInfo<TestFtpServer::Kind>& info) {
    return info.param == TestFtpServer::PyFtpdLib ? "pyftpdlib" : "pureftpd";
}

} // namespace

TEST_P(TlsServer, StoresByteForByteInBothModesOverResumedDataSessions) {
    int n = 0;
    for (TIdFTPTls tls : {TIdFTPTls::Require, TIdFTPTls::Try}) {
        for (bool passive : {false, true}) {
            for (size_t size : {size_t(0), size_t(70000), size_t(3u << 20)}) {
                SCOPED_TRACE(std::string(passive ? "passive " : "active ") + std::to_string(size));
                const std::string name = "tls" + std::to_string(n++) + ".bin";
                const std::string data = WriteRandomFile(Local(name), size, static_cast<unsigned>(n));
                std::vector<std::string> sent;
                TIdFTP ftp;
                Prepare(ftp, tls, sent);
                ftp.Passive = passive;
                ftp.OpenSession(true);
                EXPECT_TRUE(ftp.TlsActive());
                // pyftpdlib hands out TLS 1.3 session tickets, pure-ftpd (1.0.50) none: where there
                // is a session, the data connection must resume it.
                const bool offered = ftp.Endpoint().Tls()->ResumableSession() != nullptr;
                EXPECT_TRUE(offered || GetParam() == TestFtpServer::PureFtpd);
                ftp.StoreFile(Local(name), "12345/" + name, false);
                EXPECT_EQ(ftp.DataSessionResumed(), offered);
                ftp.SendQuit();
                EXPECT_EQ(ftp.DataConnection(), nullptr);
                EXPECT_TRUE(ReadFile(Server().FilePath("mbox3", "12345/" + name)) == data);
                ASSERT_GE(sent.size(), 5u);
                EXPECT_EQ(sent[0], "AUTH TLS");
                EXPECT_EQ(sent[3], "PBSZ 0");
                EXPECT_EQ(sent[4], "PROT P");
            }
        }
    }
}

TEST_P(TlsServer, UntrustedCertificatesAreRefusedBeforeTheLogInAndNeverFallBack) {
    struct Case {
        std::string caFile, serverName, reason;
    };
    const Case cases[] = {
        {certificates->OtherCa(), "", "TLS: certificate of 127.0.0.1 not trusted: "},
        {certificates->Ca(), "box.example.org",
         "TLS: certificate of box.example.org not trusted: hostname mismatch"},
    };
    for (const Case& c : cases) {
        for (TIdFTPTls tls : {TIdFTPTls::Require, TIdFTPTls::Try}) {
            SCOPED_TRACE(c.reason);
            std::vector<std::string> sent;
            TIdFTP ftp;
            Prepare(ftp, tls, sent);
            ftp.TlsCaFile = c.caFile;
            ftp.TlsServerName = c.serverName;
            try {
                ftp.OpenSession(true);
                FAIL() << "logged in";
            } catch (const EIdTlsError& e) {
                EXPECT_EQ(e.Message().substr(0, c.reason.size()), c.reason) << e.Message();
            }
            EXPECT_FALSE(ftp.IsConnected());
            EXPECT_EQ(sent, std::vector<std::string>{"AUTH TLS"});
        }
    }
    // A missing authority file is named in the error.
    std::vector<std::string> sent;
    TIdFTP ftp;
    Prepare(ftp, TIdFTPTls::Require, sent);
    ftp.TlsCaFile = Local("no-such-ca.pem");
    try {
        ftp.OpenSession(true);
        FAIL() << "logged in";
    } catch (const EIdTlsError& e) {
        EXPECT_NE(e.Message().find("no-such-ca.pem"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(sent, std::vector<std::string>{"AUTH TLS"});
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsServer,
                         ::testing::Values(TestFtpServer::PyFtpdLib, TestFtpServer::PureFtpd), KindName);

TEST(TlsTry, APlainServerThatRefusesAuthTlsGetsTheFileInClearText) {
    const fs::path root = fs::temp_directory_path() / ("lumisk-ftps-plain-" + std::to_string(::getpid()));
    {
        TestFtpServer server(TestFtpServer::PyFtpdLib, (root / "srv").string(), {"12345"});
        fs::create_directories(root / "local");
        const std::string data = WriteRandomFile((root / "local" / "m.wav").string(), 5000, 9);
        TIdFTP ftp;
        ftp.Host = "127.0.0.1";
        ftp.Port = server.Port();
        ftp.User = "mbox1";
        ftp.Password = TestFtpServer::Password;
        ftp.ReadTimeout = 30000;
        ftp.Passive = true;
        ftp.Tls = TIdFTPTls::Try;
        ftp.OpenSession(true);
        EXPECT_FALSE(ftp.TlsActive());
        ftp.StoreFile((root / "local" / "m.wav").string(), "12345/m.wav", false);
        ftp.SendQuit();
        EXPECT_EQ(ReadFile(server.FilePath("mbox1", "12345/m.wav")), data);
    }
    fs::remove_all(root);
}
