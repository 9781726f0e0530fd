#pragma once
// Resource identifiers of the module.

#define IDS_PROJNAME 100
#define IDR_SYSTEMSTATEBACKUPRESTOREAPP 101
#define IDR_SYSTEMSTATEBACKUPRESTOREIMPL 103
