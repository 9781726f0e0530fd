// The separate module MountManager.dll, loaded from where it is built and called through its
// export as the mount manager calls it.

#include "mountmanager/ConvertSymbolicLink.h"

#include "common/Handles.h"
#include "common/LabBinaries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

namespace
{
    class MountManagerModule : public testing::Test
    {
    protected:
        void SetUp() override
        {
            m_module.reset(LoadLibraryW((LabBinaries::MountManagerFolder() + L"\\MountManager.dll").c_str()));
            ASSERT_TRUE(m_module) << "error " << GetLastError();
            m_convert = reinterpret_cast<ConvertSymbolicLinkProc>(
                reinterpret_cast<void*>(GetProcAddress(m_module.get(), ConvertSymbolicLinkExport)));
            ASSERT_NE(nullptr, m_convert);
            ASSERT_NE(0u, QueryDosDeviceW(L"C:", m_systemDevice, MAX_PATH));
        }

        // Calls the export into a buffer of chars characters pre-filled with a sentinel; gives
        // the result, the last error and the text.
        BOOL Convert(const wchar_t* name, DWORD chars, DWORD& error, String& text)
        {
            std::vector<wchar_t> buffer(chars + 1, L'#');
            SetLastError(0xDEADBEEF);
            const BOOL result = m_convert(name, buffer.data(), chars);
            error = GetLastError();
            text.assign(buffer.data(), std::find(buffer.begin(), buffer.end(), L'\0') - buffer.begin());
            return result;
        }

        String Resolved(const wchar_t* name)
        {
            DWORD error = 0;
            String text;
            return Convert(name, 256, error, text) ? text : L"(failed)";
        }

        UniqueLibrary m_module;
        ConvertSymbolicLinkProc m_convert = nullptr;
        wchar_t m_systemDevice[MAX_PATH] = {};
    };
}

TEST_F(MountManagerModule, ResolvesALinkToItsTarget)
{
    EXPECT_EQ(String(m_systemDevice), Resolved(L"\\??\\C:"));
    EXPECT_EQ(String(m_systemDevice), Resolved(L"\\DosDevices\\C:"));
    // Object names are compared without case.
    EXPECT_EQ(String(m_systemDevice), Resolved(L"\\dosdevices\\c:"));
}

TEST_F(MountManagerModule, NamesThatAreNoLinkComeBackUnchanged)
{
    // A device, a directory, a name nothing is registered under, and GLOBALROOT's empty target.
    EXPECT_EQ(String(m_systemDevice), Resolved(m_systemDevice));
    EXPECT_EQ(L"\\Device", Resolved(L"\\Device"));
    EXPECT_EQ(L"\\Device\\QmNothingHere", Resolved(L"\\Device\\QmNothingHere"));
    EXPECT_EQ(L"", Resolved(L""));
}

TEST_F(MountManagerModule, ATargetThatDoesNotFitFailsWithInsufficientBuffer)
{
    const String device = m_systemDevice;
    const DWORD fits = static_cast<DWORD>(device.size() + 1);
    DWORD error = 0;
    String text;

    EXPECT_TRUE(Convert(L"\\??\\C:", fits, error, text));
    EXPECT_EQ(device, text);

    EXPECT_FALSE(Convert(L"\\??\\C:", fits - 1, error, text));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), error);
    EXPECT_EQ(L"", text);

    // The same holds for a name handed back unchanged.
    EXPECT_FALSE(Convert(L"\\Device\\QmNothingHere", 10, error, text));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), error);
    EXPECT_EQ(L"", text);
}

TEST_F(MountManagerModule, MissingArgumentsFailWithInvalidParameter)
{
    DWORD error = 0;
    String text;
    EXPECT_FALSE(Convert(nullptr, 256, error, text));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), error);
    EXPECT_EQ(L"", text);

    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(m_convert(L"\\??\\C:", nullptr, 256));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    wchar_t untouched[2] = {L'#', L'#'};
    EXPECT_FALSE(m_convert(L"\\??\\C:", untouched, 0));
    EXPECT_EQ(L'#', untouched[0]);
}

TEST_F(MountManagerModule, ModuleImportsOnlyWindowsSystemLibraries)
{
    // Read the import directory of the loaded image: a runtime library of the compiler there
    // would keep the module from loading on a machine without it.
    const auto* base = reinterpret_cast<const BYTE*>(m_module.get());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(0u, imports.VirtualAddress);

    StringList names;
    for (const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry)
    {
        String name = Strings::FromUtf8(reinterpret_cast<const char*>(base + entry->Name));
        std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
        names.push_back(name);
    }
    ASSERT_FALSE(names.empty());
    const StringList allowed = {L"kernel32.dll", L"msvcrt.dll", L"ntdll.dll"};
    for (const String& name : names)
        EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), name)) << Strings::ToUtf8(name);
}
