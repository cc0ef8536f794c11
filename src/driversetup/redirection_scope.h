// WOW64 file-system redirection turned off for the calling thread.
#pragma once

#include <windows.h>

namespace Orvane {

/// Turns WOW64 file-system redirection off for the calling thread for its
/// lifetime, so that a 32-bit process reaches the native system directory.
/// Before that it loads the system DLLs the work inside needs (setupapi,
/// version): with redirection off a 32-bit process cannot load them.
/// Restores the previous state on destruction, only if turning it off
/// succeeded. Scopes nest; each restores its own saved value. Must be
/// destroyed on the thread that created it.
class RedirectionScope {
public:
    RedirectionScope() noexcept;
    ~RedirectionScope();
    RedirectionScope(const RedirectionScope&) = delete;
    RedirectionScope& operator=(const RedirectionScope&) = delete;

    /// True when redirection was turned off by this scope.
    bool Active() const noexcept { return active_; }

private:
    PVOID oldValue_ = nullptr;
    bool active_ = false;
};

} // namespace Orvane
