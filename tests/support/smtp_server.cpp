#include "support/smtp_server.h"

#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

ScriptedSmtpServer::ScriptedSmtpServer(std::string greeting, std::vector<std::string> replies)
    : m_greeting(std::move(greeting)), m_replies(std::move(replies)) {
    m_listener = ListenOnLoopback("127.0.0.1", 0, &m_port);
    m_thread = std::thread([this] { Serve(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_thread.join();
    close(m_listener);
}

std::vector<std::string> ScriptedSmtpServer::Commands() {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::string ScriptedSmtpServer::Data() {
    std::lock_guard lock(m_mutex);
    return m_data;
}

void ScriptedSmtpServer::Serve() {
    auto stopping = [this] {
        std::lock_guard lock(m_mutex);
        return m_stop;
    };
    int client = -1;
    while (client < 0 && !stopping()) client = AcceptWithin(m_listener, 20);
    if (client < 0) return;
    auto sendText = [&](const std::string& text) {
        send(client, text.data(), text.size(), MSG_NOSIGNAL);
    };
    if (m_greeting == "<silent>") {
        while (!stopping()) usleep(5000);
        close(client);
        return;
    }
    const std::string kTrickle = "<trickle>";
    if (m_greeting == "<flood>") {
        // A reply that never ends, as fast as the connection takes it.
        const std::string line = "220-" + std::string(996, 'x') + "\r\n";
        while (!stopping() && send(client, line.data(), line.size(), MSG_NOSIGNAL) > 0) {
        }
    } else if (m_greeting.rfind(kTrickle, 0) == 0) {
        // One byte every 100 ms: a server that keeps a reply coming but never finishes it in time.
        for (size_t i = kTrickle.size(); i < m_greeting.size() && !stopping(); ++i) {
            sendText(m_greeting.substr(i, 1));
            usleep(100000);
        }
    } else {
        sendText(m_greeting);
    }
    std::string buffer;
    size_t next = 0;
    bool inData = false;
    bool open = true;
    while (open && !stopping()) {
        struct pollfd p {
            client, POLLIN, 0
        };
        if (poll(&p, 1, 20) <= 0) continue;
        char chunk[4096];
        ssize_t n = recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        for (size_t lf; open && (lf = buffer.find("\r\n")) != std::string::npos;) {
            std::string line = buffer.substr(0, lf);
            buffer.erase(0, lf + 2);
            if (inData) {
                if (line != ".") {
                    std::lock_guard lock(m_mutex);
                    m_data += line + "\r\n";
                    continue;
                }
                inData = false;
            }
            {
                std::lock_guard lock(m_mutex);
                m_commands.push_back(line);
            }
            std::string reply = next < m_replies.size() ? m_replies[next++] : "250 OK\r\n";
            if (reply == "<close>") {
                open = false;
            } else if (reply == "<354-close>") {
                sendText("354 go ahead\r\n");  // and gone before the message arrives
                open = false;
            } else if (reply.rfind("<late>", 0) == 0) {
                // A server that takes longer than the client's time-out to answer.
                for (int i = 0; i < 250 && !stopping(); ++i) usleep(10000);
                sendText(reply.substr(6));
            } else if (reply != "<silent>") {
                sendText(reply);
                if (reply.rfind("354", 0) == 0) inData = true;
            }
        }
    }
    close(client);
}
