#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// aiosmtpd on 127.0.0.1, started by a test in a folder of its own and stopped by its PID: it
// stores every mail it accepts. Optional authentication (LOGIN, PLAIN, CRAM-MD5), STARTTLS or
// implicit TLS with a certificate the test made, and addresses it rejects at RCPT.
class MailServer {
public:
    struct Options {
        std::string user, password, mechanisms = "LOGIN,PLAIN,CRAM-MD5";
        std::string certFile, keyFile;
        bool implicitTls = false;
        std::vector<std::string> reject;
        std::uint16_t port = 0;  // 0: one the system picks (Port() says which)
    };

    MailServer(const std::string& folder, const Options& options);
    explicit MailServer(const std::string& folder) : MailServer(folder, Options()) {}
    ~MailServer();
    MailServer(const MailServer&) = delete;
    MailServer& operator=(const MailServer&) = delete;

    bool Started() const { return m_started; }
    std::uint16_t Port() const { return m_port; }
    // The path of the n-th mail (from 1) once it is stored; empty when none came in time.
    std::string WaitForMail(int n) const;
    // Whether the n-th mail is stored now, without waiting (after a sender that has returned).
    bool HasMail(int n) const;
    // What Python's email package reads in a stored mail (see parse_mail.py).
    std::string Decode(const std::string& mailPath) const;

private:
    std::string m_folder;
    std::uint16_t m_port = 0;
    pid_t m_pid = -1;
    bool m_started = false;
};

// A self-signed certificate for "localhost" and 127.0.0.1 and its key, made with Python's
// cryptography package or openssl, in the folder: cert.pem, key.pem.
bool MakeCertificate(const std::string& folder);

// The UTF-8 bytes of a text as lowercase hex (parse_mail.py prints values so).
std::string HexOf(const std::string& bytes);
