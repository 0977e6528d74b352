#pragma once

#include <utility>

// A scoped owner for a handle of the Win32-shaped calls: closes it with the call's own close
// function when it goes out of scope, so nobody pairs an open with a close by hand.
namespace platform {

template <typename Handle, auto Close>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : m_handle(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, Handle{})) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.m_handle, Handle{}));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != Handle{}; }

    // Closes what it holds and takes another handle (or none).
    void Reset(Handle handle = Handle{}) {
        if (m_handle != Handle{}) Close(m_handle);
        m_handle = handle;
    }

    // For a call that hands its new handle back through a reference: closes what it holds and
    // lets the call fill it.
    Handle& Out() {
        Reset();
        return m_handle;
    }

private:
    Handle m_handle{};
};

}  // namespace platform
