#include "vss/ComSecurity.h"

#include <objbase.h>

namespace VssHost
{
    HRESULT AllowWriterCallbacks()
    {
        return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                    RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_DYNAMIC_CLOAKING, nullptr);
    }
}
