#pragma once

#include <string>

// The single-instance mutex: a name that only one running program of this user holds.
namespace platform {

// A folder of this user's alone: the session's runtime folder, else ~/.cache/quorvik made 0700.
// Empty when neither is to be had safely.
std::string PrivateRuntimeFolder();

class SingleInstance {
public:
    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the name; false when another program (or another holder in this one) has it. The
    // name is released when the holder ends, however it ends.
    bool Acquire(const std::string& name);
    void Release();

private:
    int m_fd = -1;
};

}  // namespace platform
