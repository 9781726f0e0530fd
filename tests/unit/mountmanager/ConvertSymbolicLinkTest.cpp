// The separate module MountManager.dll, loaded from where it is built and called through its
// export as the mount manager calls it.

#include "mountmanager/ConvertSymbolicLink.h"

#include "common/LabProcess.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{
    class MountManagerModule : public testing::Test
    {
    protected:
        void SetUp() override
        {
            m_module.reset(LoadLibraryW((Lab::MountManagerFolder() + L"\\MountManager.dll").c_str()));
            ASSERT_TRUE(m_module) << "error " << GetLastError();
            m_convert = reinterpret_cast<ConvertSymbolicLinkProc>(
                reinterpret_cast<void*>(GetProcAddress(m_module.get(), ConvertSymbolicLinkExport)));
            ASSERT_NE(nullptr, m_convert);
        }

        // Calls the export into a buffer of chars characters pre-filled with a sentinel; gives the
        // text, or "(failed <last error>)".
        String Convert(const wchar_t* name, DWORD chars = 256)
        {
            std::vector<wchar_t> buffer(chars + 1, L'#');
            SetLastError(0xDEADBEEF);
            if (!m_convert(name, buffer.data(), chars))
                return Strings::Format(L"(failed %lu, %s)", GetLastError(), buffer[0] == L'#' ? L"untouched" : buffer.data());
            return String(buffer.data(), std::find(buffer.begin(), buffer.end(), L'\0') - buffer.begin());
        }

        UniqueLibrary m_module;
        ConvertSymbolicLinkProc m_convert = nullptr;
    };
}

// Resolving through the mount manager is tested with links of the test's own (MountManagerTest).
TEST_F(MountManagerModule, HandsNamesThatAreNoLinkBackAndRefusesWhatDoesNotFit)
{
    wchar_t systemDevice[MAX_PATH] = {};
    ASSERT_NE(0u, QueryDosDeviceW(L"C:", systemDevice, MAX_PATH));
    const String device = systemDevice;
    // Object names are compared without case.
    EXPECT_EQ(device, Convert(L"\\dosdevices\\c:"));
    // A directory, a name nothing is registered under, and GLOBALROOT's empty target.
    for (const String& same : {String(L"\\Device"), String(L"\\Device\\QmNothingHere"), String()})
        EXPECT_EQ(same, Convert(same.c_str()));

    const DWORD fits = static_cast<DWORD>(device.size() + 1);
    EXPECT_EQ(device, Convert(L"\\??\\C:", fits));
    const String tooSmall = Strings::Format(L"(failed %lu, )", static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(tooSmall, Convert(L"\\??\\C:", fits - 1));
    EXPECT_EQ(tooSmall, Convert(L"\\Device\\QmNothingHere", 10));
    EXPECT_EQ(Strings::Format(L"(failed %lu, )", static_cast<DWORD>(ERROR_INVALID_PARAMETER)), Convert(nullptr));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(m_convert(L"\\??\\C:", nullptr, 256));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    wchar_t untouched[2] = {L'#', L'#'};
    EXPECT_FALSE(m_convert(L"\\??\\C:", untouched, 0));
    EXPECT_EQ(L'#', untouched[0]);
}

TEST_F(MountManagerModule, ImportsOnlyWindowsSystemLibraries)
{
    // Read the import directory of the loaded image: a runtime library of the compiler there
    // would keep the module from loading on a machine without it.
    const auto* base = reinterpret_cast<const BYTE*>(m_module.get());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(0u, imports.VirtualAddress);
    int count = 0;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name != 0;
         ++entry, ++count)
    {
        const String name = Strings::ToUpper(Strings::FromUtf8(reinterpret_cast<const char*>(base + entry->Name)));
        EXPECT_TRUE(name == L"KERNEL32.DLL" || name == L"MSVCRT.DLL" || name == L"NTDLL.DLL") << Strings::ToUtf8(name);
    }
    EXPECT_GT(count, 0);
}
