// The setup library (setupapi.dll), reached at run time: the exe imports
// nothing from it, so it is loaded from the system directory, and only by
// the commands that apply an INF section. Each function is looked up at
// each use.
#pragma once

#include "common/system_library.h"
#include "common/unique_handle.h"

#include <windows.h>
#include <setupapi.h>

/// setupapi.dll's export `fn`, typed as the header declares it; null, with
/// the thread's last error set, when the library or the export is missing.
#define ORVANE_SETUP_FUNCTION(fn) ::qv::SystemFunction<decltype(&::fn)>(L"setupapi.dll", #fn)

namespace Orvane {

struct hinf_traits {
    using type = HINF;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept
    {
        if (const auto close = ORVANE_SETUP_FUNCTION(SetupCloseInfFile))
            close(h);
    }
};

struct file_queue_traits {
    using type = HSPFILEQ;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept
    {
        if (const auto close = ORVANE_SETUP_FUNCTION(SetupCloseFileQueue))
            close(h);
    }
};

struct queue_context_traits {
    using type = PVOID;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept
    {
        if (const auto close = ORVANE_SETUP_FUNCTION(SetupTermDefaultQueueCallback))
            close(h);
    }
};

using unique_hinf = qv::unique_any<hinf_traits>;
using unique_file_queue = qv::unique_any<file_queue_traits>;
using unique_queue_context = qv::unique_any<queue_context_traits>; // default queue callback

} // namespace Orvane
