#include "driversetup/redirection_scope.h"

namespace Orvane {

RedirectionScope::RedirectionScope() noexcept
    : active_(::Wow64DisableWow64FsRedirection(&oldValue_) != FALSE)
{
}

RedirectionScope::~RedirectionScope()
{
    if (active_)
        ::Wow64RevertWow64FsRedirection(oldValue_);
}

} // namespace Orvane
