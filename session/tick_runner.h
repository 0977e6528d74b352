#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// The session's own thread: it runs one job at a time (a tick, a send of the outbox), so that
// neither the window nor a modal dialog ever waits for one. What escapes a job is logged and the
// thread goes on.
class TickRunner {
public:
    // ended: called on the runner's thread after each job.
    explicit TickRunner(std::function<void()> ended);
    ~TickRunner();
    TickRunner(const TickRunner&) = delete;
    TickRunner& operator=(const TickRunner&) = delete;

    // Hands the thread a job; the caller sees to it that none runs.
    void Run(std::function<void()> job);
    // Any thread: waits at most the time for the job that runs to end; true when none runs.
    bool WaitForEnd(unsigned milliseconds);

private:
    void Work();

    std::function<void()> m_ended;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_job;
    bool m_running = false;  // a job was handed over and has not ended
    bool m_quit = false;
    std::thread m_thread;
};
