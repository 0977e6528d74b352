#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// Programs that run detached, in a process group of their own, under a monitor process that
// outlives whoever started them and writes down how they ended. The record of a run is a small
// state file, locked while it is read or changed, so that every process that looks at the run
// sees the same. Paths are CP932 texts, as the program holds them.
namespace platform {

// What is known of one run.
struct RunRecord {
    long pid = 0;
    unsigned long long processStart = 0;  // the process's start time, from /proc
    long monitor = 0;
    unsigned long long monitorStart = 0;
    std::int64_t started = 0;   // boot-clock milliseconds
    std::int64_t stopping = 0;  // when a stop was sent, 0 for none
    bool paused = false;
    bool hasStatus = false;  // the wait status of the ended process
    int status = 0;
    bool hasExitCode = false;  // a start that failed before any process ran
    DWORD exitCode = 0;
};

// A run's state file, open and locked while the object lives.
class RunRecordFile {
public:
    RunRecordFile() = default;
    ~RunRecordFile();
    RunRecordFile(const RunRecordFile&) = delete;
    RunRecordFile& operator=(const RunRecordFile&) = delete;

    // Opens for reading with a shared lock; a missing file reads as a run that never started.
    bool OpenShared(const std::string& path);
    // Opens, creating the file and its folder, with an exclusive lock.
    bool OpenExclusive(const std::string& path);
    RunRecord Read() const;
    bool Write(const RunRecord& record);

private:
    friend bool StartDetached(const std::vector<std::string>&, const std::string&,
                              const std::string&, RunRecordFile&, RunRecord&);
    bool Open(const std::string& path, bool exclusive);
    int m_fd = -1;
    std::string m_path;
};

// A process as /proc tells of it now.
struct ProcessState {
    bool exists = false;
    bool ended = false;   // a zombie, or dead: it runs no more
    bool halted = false;  // stopped by a signal
    unsigned long long start = 0;
};
ProcessState InspectProcess(long pid);
// This process.
long OwnProcessId();

// Whether the process is the one recorded (its start time, when one was recorded, agrees).
bool SameProcess(long pid, unsigned long long start, const ProcessState& state);

enum class RunSignal { Terminate, Kill, Halt, Resume };
// Sends the signal to the process's group (to the process alone when it has none).
void SignalRun(long pid, RunSignal signal);

// Milliseconds on the clock that counts from the boot, suspend included.
std::int64_t BootMilliseconds();

// How a recorded wait status ended: by an exit with its code, else by a signal (killed: the
// hard kill).
struct EndOfRun {
    bool exited = false;
    DWORD exitCode = 0;
    bool killed = false;
};
EndOfRun DescribeEnd(int status);

// Starts the program (argv[0] a path, or a bare name looked up in PATH) detached, in its own
// process group, in the work folder, its output appended to the log file, and records the run in
// the file (held open and locked by the caller). False with the Windows code of the failure,
// which is recorded too.
bool StartDetached(const std::vector<std::string>& argv, const std::string& workFolder,
                   const std::string& logPath, RunRecordFile& file, RunRecord& run);

}  // namespace platform
