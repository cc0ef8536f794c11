// RAII owners for Windows handles. `unique_any` owns one handle of a kind,
// named by its type, its close function and its invalid values (the first
// is the empty owner's value; every one of them means "no handle"), and
// closes it when it goes out of scope.
// Closing never changes the thread's last error.
#pragma once

#include "common/last_error.h"

#include <windows.h>
#include <winsvc.h>

#include <utility>

namespace qv {

template <class Pointer, class Close, Close close, INT_PTR empty, INT_PTR... invalid>
class unique_any {
public:
    using pointer = Pointer;

    unique_any() noexcept = default;
    explicit unique_any(pointer value) noexcept : value_(value) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~unique_any() { reset(); }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return IsValid(value_); }

    /// Gives up ownership without closing.
    pointer release() noexcept { return std::exchange(value_, Empty()); }

    /// Closes the owned handle, if any, and takes `value`.
    void reset(pointer value = Empty()) noexcept
    {
        const pointer old = std::exchange(value_, value);
        if (!IsValid(old))
            return;
        const DWORD error = ::GetLastError();
        close(old);
        ::SetLastError(error);
    }

    /// For out-parameters: closes the owned handle and returns its slot.
    pointer* put() noexcept
    {
        reset();
        return &value_;
    }

private:
    static pointer Empty() noexcept { return reinterpret_cast<pointer>(empty); }
    static bool IsValid(pointer value) noexcept
    {
        return value != Empty() && ((value != reinterpret_cast<pointer>(invalid)) && ...);
    }

    pointer value_ = Empty();
};

/// Waits for the object's callbacks, running and queued, then closes it.
inline void CloseThreadpoolIoWaiting(PTP_IO io)
{
    ::WaitForThreadpoolIoCallbacks(io, FALSE);
    ::CloseThreadpoolIo(io);
}

using unique_file = unique_any<HANDLE, decltype(&::CloseHandle), ::CloseHandle, 0, -1>; // CreateFileW
using unique_handle = unique_any<HANDLE, decltype(&::CloseHandle), ::CloseHandle, 0>;   // events
using unique_hkey = unique_any<HKEY, decltype(&::RegCloseKey), ::RegCloseKey, 0>;
using unique_schandle = unique_any<SC_HANDLE, decltype(&::CloseServiceHandle), ::CloseServiceHandle, 0>;
using unique_hlocal = unique_any<HLOCAL, decltype(&::LocalFree), ::LocalFree, 0>;
using unique_hglobal = unique_any<HGLOBAL, decltype(&::GlobalFree), ::GlobalFree, 0>;
using unique_threadpool_io = unique_any<PTP_IO, decltype(&CloseThreadpoolIoWaiting), CloseThreadpoolIoWaiting, 0>;

/// Closes the handle now: 0, or the error of the close.
inline DWORD CloseNow(unique_file file) noexcept
{
    return ::CloseHandle(file.release()) ? 0 : LastErrorOr(ERROR_INVALID_HANDLE);
}

/// Runs a callable when the scope ends, unless dismissed.
template <class F>
class scope_exit {
public:
    explicit scope_exit(F f) noexcept : f_(std::move(f)) {}
    scope_exit(const scope_exit&) = delete;
    scope_exit& operator=(const scope_exit&) = delete;
    ~scope_exit()
    {
        if (active_)
            f_();
    }
    void dismiss() noexcept { active_ = false; }

private:
    F f_;
    bool active_ = true;
};

template <class F>
scope_exit<F> make_scope_exit(F f) noexcept
{
    return scope_exit<F>(std::move(f));
}

} // namespace qv
