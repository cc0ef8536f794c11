#include "ostrelsetup/ostrel_driver_setup.h"

namespace Orvane {

DWORD OstrelDriverSetup::StartDriver()
{
    return DriverSetup::StartDriver();
}

} // namespace Orvane
