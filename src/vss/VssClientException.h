#pragma once
// The VSS requestor's one exception: a finished text that names the failing call and, for a VSS
// code, the code's name and what it means (VssTexts).

#include "errors/Exceptions.h"

QM_DECLARE_MODULE_EXCEPTION(VssClientException);
