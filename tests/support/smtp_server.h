#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A scripted SMTP server on 127.0.0.1 for one connection: it sends the greeting, then answers
// each command line with the next reply of its script, and records what it received. Replies
// "<close>" close the connection, "<silent>" answer nothing, "<354-close>" says 354 and closes,
// "<late>reply" sends the reply after 2.5 s.
// After a 354 reply it takes the message up to the line ".", then answers with the next reply.
// A greeting "<trickle>text" is sent a byte every 100 ms; "<silent>" sends none.
class ScriptedSmtpServer {
public:
    ScriptedSmtpServer(std::string greeting, std::vector<std::string> replies);
    ~ScriptedSmtpServer();

    std::uint16_t Port() const { return m_port; }
    // The command lines received (without CR LF), and the message data.
    std::vector<std::string> Commands();
    std::string Data();

private:
    void Serve();

    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::string m_greeting;
    std::vector<std::string> m_replies;
    std::mutex m_mutex;
    std::vector<std::string> m_commands;
    std::string m_data;
    bool m_stop = false;
    std::thread m_thread;
};
