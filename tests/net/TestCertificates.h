// Certificate authorities and a server certificate for TLS tests, made with the openssl command
// line in a folder of the test's own:
//   Ca()         the authority that signed the server's certificate (PEM)
//   OtherCa()    an authority that signed nothing the server has
//   ServerPem()  the server's certificate, chain and key in one file, for the server
// The server certificate names ftp.lumisk.test and 127.0.0.1.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class TestCertificates {
public:
    explicit TestCertificates(const std::string& folder) : FFolder(folder) {
        std::filesystem::create_directories(folder);
        // Elliptic-curve keys: made at once, where RSA keys would take a while.
        const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        Run("openssl req -x509" + key + " -keyout ca.key -out ca.pem -days 30 -subj /CN=Lumisk-Test-CA");
        Run("openssl req -x509" + key + " -keyout other.key -out other.pem -days 30 -subj /CN=Other-CA");
        Run("openssl req" + key + " -keyout server.key -out server.csr -subj /CN=ftp.lumisk.test");
        std::ofstream(folder + "/server.ext") << "subjectAltName=DNS:ftp.lumisk.test,IP:127.0.0.1\n";
        Run("openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30"
            " -extfile server.ext -out server.crt");
        Run("cat server.crt ca.pem server.key >server.pem");
    }

    std::string Ca() const { return FFolder + "/ca.pem"; }
    std::string OtherCa() const { return FFolder + "/other.pem"; }
    std::string ServerPem() const { return FFolder + "/server.pem"; }

private:
    void Run(const std::string& command) {
        // Braces: the command's own redirections must win over the quiet one.
        const std::string line = "cd '" + FFolder + "' && { " + command + "; } >/dev/null 2>&1";
        if (std::system(line.c_str()) != 0)
            throw std::runtime_error("certificate set-up failed: " + command);
    }

    std::string FFolder;
};
