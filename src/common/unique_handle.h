// RAII owners for Windows handles. Each handle kind has a traits type that
// names its invalid value and how it is closed; `unique_any<Traits>` owns one
// handle of that kind and closes it when it goes out of scope.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <utility>

namespace qv {

template <class Traits>
class unique_any {
public:
    using pointer = typename Traits::type;

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
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    /// Gives up ownership without closing.
    pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }

    /// Closes the owned handle, if any, and takes `value`.
    void reset(pointer value = Traits::invalid()) noexcept
    {
        pointer old = std::exchange(value_, value);
        if (old != Traits::invalid())
            Traits::close(old);
    }

    /// For out-parameters: closes the owned handle and returns its slot.
    pointer* put() noexcept
    {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::invalid();
};

struct file_handle_traits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

struct handle_traits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

struct hkey_traits {
    using type = HKEY;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::RegCloseKey(h); }
};

struct sc_handle_traits {
    using type = SC_HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::CloseServiceHandle(h); }
};

struct find_handle_traits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::FindClose(h); }
};

struct hlocal_traits {
    using type = HLOCAL;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::LocalFree(h); }
};

struct hglobal_traits {
    using type = HGLOBAL;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::GlobalFree(h); }
};

using unique_file = unique_any<file_handle_traits>;       // CreateFileW
using unique_handle = unique_any<handle_traits>;          // events, processes
using unique_hkey = unique_any<hkey_traits>;
using unique_schandle = unique_any<sc_handle_traits>;
using unique_find = unique_any<find_handle_traits>;
using unique_hlocal = unique_any<hlocal_traits>;
using unique_hglobal = unique_any<hglobal_traits>;

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
