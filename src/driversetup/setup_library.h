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

/// The setup library's close functions, found at each use (when the
/// library is missing, nothing was opened).
inline void CloseInfFile(HINF inf)
{
    if (const auto close = ORVANE_SETUP_FUNCTION(SetupCloseInfFile))
        close(inf);
}

inline void CloseFileQueue(HSPFILEQ queue)
{
    if (const auto close = ORVANE_SETUP_FUNCTION(SetupCloseFileQueue))
        close(queue);
}

inline void TermQueueCallback(PVOID context)
{
    if (const auto close = ORVANE_SETUP_FUNCTION(SetupTermDefaultQueueCallback))
        close(context);
}

using unique_hinf = qv::unique_any<HINF, decltype(&CloseInfFile), CloseInfFile, -1, 0>;
using unique_file_queue = qv::unique_any<HSPFILEQ, decltype(&CloseFileQueue), CloseFileQueue, -1, 0>;
using unique_queue_context = // default queue callback
    qv::unique_any<PVOID, decltype(&TermQueueCallback), TermQueueCallback, 0>;

} // namespace Orvane
