#include "driversetup/redirection_scope.h"

#include "common/system_library.h"

#include <initializer_list>

namespace Orvane {

namespace {

/// The system DLLs that work inside a scope calls into. A 32-bit process
/// cannot load a DLL while redirection is off (the loader's system folder is
/// then the 64-bit one), and a delayed load that failed stays failed: they
/// are loaded before redirection goes off, and stay loaded. A load that
/// fails here is tried again at first use, which reports its code.
void LoadScopeModules()
{
    for (const wchar_t* name : {L"setupapi.dll", L"version.dll"})
        qv::SystemModule(name);
}

} // namespace

RedirectionScope::RedirectionScope() noexcept
{
    LoadScopeModules();
    active_ = ::Wow64DisableWow64FsRedirection(&oldValue_) != FALSE;
}

RedirectionScope::~RedirectionScope()
{
    if (active_)
        ::Wow64RevertWow64FsRedirection(oldValue_);
}

} // namespace Orvane
