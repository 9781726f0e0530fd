#pragma once
// The live folders of the certification authority that its restore writes.

#include "text/Strings.h"

namespace CertificateServicesFolders
{
    // The database, log, system and temporary folders configured for "CertSvc" (those of the
    // four that are set), and the folder of the dynamic files, <system folder>\CertSrv\CertEnroll.
    // Never throws but for memory.
    StringList Live();
}
