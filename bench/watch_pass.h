#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "bench/bench_machine.h"
#include "eventlog/catalog.h"

// A watch pass over the machine's logs for as long as it lives: the 100 typical entries, plus
// entries numbered from 101 on that the caller adds, ticking every 200 ms (as often as immediate
// checks tick). What the added entries matched, and would have mailed, is counted.
class WatchPass {
public:
    WatchPass(const Settings& settings, WatchList extra) : m_watches(MakeBenchWatches()) {
        for (auto& e : extra) m_watches.push_back(std::move(e));
        m_monitor = std::make_unique<Monitor>(settings, m_watches, m_timer, m_locks, m_consumers);
        m_monitor->StartMonitoring();
        m_thread = std::thread([this] {
            for (;;) {
                m_monitor->WatchTick();
                ++m_ticks;
                std::unique_lock lock(m_wakeMutex);
                m_wake.wait_for(lock, std::chrono::milliseconds(200),
                                [this] { return m_stop || m_hurry; });
                if (m_stop) break;
                m_hurry = false;
            }
        });
    }
    ~WatchPass() { Stop(); }
    // The next tick now, as the session ticks when a source waits for the watch.
    void Hurry() {
        {
            std::lock_guard lock(m_wakeMutex);
            m_hurry = true;
        }
        m_wake.notify_all();
    }
    // Ends the pass with one more tick, so that what was written before is read; the ticks.
    int Stop() {
        if (m_thread.joinable()) {
            {
                std::lock_guard lock(m_wakeMutex);
                m_stop = true;
            }
            m_wake.notify_all();
            m_thread.join();
            m_monitor->WatchTick();
            m_monitor->StopMonitoring();
        }
        return m_ticks;
    }
    // Reports of the added entries that would have been mailed, and their distinct descriptions.
    int Mailed() const {
        std::lock_guard lock(m_consumers.mutex);
        return m_consumers.mailed;
    }
    std::set<std::string> Seen() const {
        std::lock_guard lock(m_consumers.mutex);
        return m_consumers.seen;
    }

private:
    struct Consumers : BatchConsumers {
        void ProcessActions(TickBatch&) override {}
        void DeliverMail(TickBatch& batch) override {
            std::lock_guard lock(mutex);
            for (const auto& r : batch) {
                if (!r->Watch || r->Watch->EventNum <= 100 || r->NotifyHeld) continue;
                ++mailed;
                seen.insert(r->Event.Description);
            }
        }
        void SendNetworkMessages(TickBatch&) override {}
        mutable std::mutex mutex;
        int mailed = 0;
        std::set<std::string> seen;
    };
    WatchList m_watches;
    NoTimer m_timer;
    NoLocks m_locks;
    Consumers m_consumers;
    std::unique_ptr<Monitor> m_monitor;
    std::thread m_thread;
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_hurry = false;
    std::atomic<int> m_ticks{0};
};

// An added entry: every event of the log (of the type, when not 0).
inline std::unique_ptr<WatchEntry> EveryEventOf(int number, const std::string& log,
                                                std::int16_t type) {
    auto e = std::make_unique<WatchEntry>();
    e->EventNum = number;
    e->LogName = log;
    e->SourceName = e->Category = AnyValueText();
    e->Type = type;
    e->AddrList = {"ops@example.jp"};
    return e;
}
