#pragma once
// The application identifier; the class, interface and type library identifiers come from the
// interface definition (SystemStateBackupRestore_i.c). The registry scripts use the same values.

#include <guiddef.h>

// {e8ceb799-6dbb-47d6-a431-2226308faff7}
static const GUID APPID_SystemStateBackupRestore = {
    0xe8ceb799, 0x6dbb, 0x47d6, {0xa4, 0x31, 0x22, 0x26, 0x30, 0x8f, 0xaf, 0xf7}};
