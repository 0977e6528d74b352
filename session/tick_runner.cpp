#include "session/tick_runner.h"

#include <chrono>
#include <exception>

#include "core/program_log.h"
#include "platform/codepage.h"

TickRunner::TickRunner(std::function<void()> ended) : m_ended(std::move(ended)) {
    m_thread = std::thread([this] { Work(); });
}

TickRunner::~TickRunner() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void TickRunner::Run(std::function<void()> job) {
    {
        std::lock_guard lock(m_mutex);
        m_job = std::move(job);
        m_running = true;
    }
    m_changed.notify_all();
}

bool TickRunner::WaitForEnd(unsigned milliseconds) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [this] { return !m_running; });
}

void TickRunner::Work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [this] { return m_quit || m_job; });
            if (!m_job) return;
            job = std::move(m_job);
            m_job = nullptr;
        }
        // What escapes the job's own guards must not end the session's thread.
        try {
            job();
        } catch (const std::exception& e) {
            LogMessage(kLogError, sjis(u8"監視処理中に例外が発生しました。%s").c_str(), e.what());
        } catch (...) {
            LogMessage(kLogError, "%s", sjis(u8"監視処理中に例外が発生しました。").c_str());
        }
        {
            std::lock_guard lock(m_mutex);
            m_running = false;
        }
        m_changed.notify_all();
        m_ended();
    }
}
