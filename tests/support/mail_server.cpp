#include "support/mail_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/files.h"
#include "support/machine_folder.h"

namespace {

bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        if (platform::FileExists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

MailServer::MailServer(const std::string& folder, const Options& options) : m_folder(folder) {
    platform::ForceDirectories(folder);
    std::string command = "exec /usr/bin/python3 " +
                          Quoted(std::string(QUORVIK_TEST_SUPPORT) + "/smtp_sink.py") + " " +
                          Quoted(folder) + " " + std::to_string(options.port);
    if (!options.user.empty()) {
        command += " --user " + Quoted(options.user) + " --password " + Quoted(options.password) +
                   " --mechanisms " + options.mechanisms;
    }
    if (!options.certFile.empty()) {
        command += " --cert " + Quoted(options.certFile) + " --key " + Quoted(options.keyFile);
        if (options.implicitTls) command += " --implicit-tls";
    }
    for (const std::string& address : options.reject) command += " --reject " + Quoted(address);
    m_pid = fork();
    if (m_pid == 0) {
        execl("/bin/sh", "sh", "-c", (command + " >/dev/null 2>&1").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // It says its port when it listens (one of the system's choosing when none was given).
    std::string ready;
    m_started = m_pid > 0 && WaitForFile(folder + "ready") &&
                platform::ReadWholeFile(folder + "ready", ready) && !ready.empty();
    if (m_started) m_port = static_cast<std::uint16_t>(std::stoi(ready));
}

MailServer::~MailServer() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
}

std::string MailServer::WaitForMail(int n) const {
    const std::string path = m_folder + "mail" + std::to_string(n) + ".eml";
    return WaitForFile(path) ? path : std::string();
}

bool MailServer::HasMail(int n) const {
    return platform::FileExists(m_folder + "mail" + std::to_string(n) + ".eml");
}

std::string MailServer::Decode(const std::string& mailPath) const {
    std::string out;
    RunCommand("/usr/bin/python3 " + Quoted(std::string(QUORVIK_TEST_SUPPORT) + "/parse_mail.py") +
                   " " + Quoted(mailPath),
               &out);
    return out;
}

bool MakeCertificate(const std::string& folder) {
    return RunCommand(
               "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
               "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
               Quoted(folder + "key.pem") + " -out " + Quoted(folder + "cert.pem") +
               " >/dev/null 2>&1") == 0;
}

std::string HexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}
