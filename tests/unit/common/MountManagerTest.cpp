// The mount manager against DOS devices each test makes for itself (object-manager links named
// after the process), so no answer is computed again the way the code computes it; and its
// separate module MountManager.dll, loaded from where it is built and called through its export.

#include "common/MountManager.h"
#include "mountmanager/ConvertSymbolicLink.h"

#include "common/LabProcess.h"

#include <gtest/gtest.h>

#include <winternl.h>

#include <algorithm>

namespace
{
    // A symbolic link in the object manager that lives as long as this object holds it, so a
    // test that fails half way leaves no DOS device behind.
    class TemporaryLink
    {
    public:
        TemporaryLink(const String& name, const String& target)
        {
            using CreateProc = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
            const auto create = reinterpret_cast<CreateProc>(reinterpret_cast<void*>(
                GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
            const String fullName = L"\\??\\" + name;
            UNICODE_STRING linkName = {static_cast<USHORT>(fullName.size() * 2), static_cast<USHORT>(fullName.size() * 2),
                                       const_cast<wchar_t*>(fullName.c_str())};
            UNICODE_STRING linkTarget = {static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2),
                                         const_cast<wchar_t*>(target.c_str())};
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &linkName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
            EXPECT_TRUE(create != nullptr && NT_SUCCESS(create(m_handle.put(), 0xF0001, &attributes, &linkTarget)))
                << "cannot create the link " << Strings::ToUtf8(name);
        }

    private:
        UniqueKernelHandle m_handle;
    };

    String Unique(const wchar_t* stem)
    {
        return Strings::Format(L"%s%lu", stem, GetCurrentProcessId());
    }

    String DriveLetterOf(const String& devicePath)
    {
        String drive = L"(none)";
        MountManager::GetDriveLetter(devicePath, drive);
        return drive;
    }

    class MountManagerTest : public testing::Test
    {
    protected:
        // Lets LoadLibrary("MountManager") find the module as it would beside the main module.
        void SetUp() override { ASSERT_TRUE(SetDllDirectoryW(Lab::MountManagerFolder().c_str())); }
        void TearDown() override { SetDllDirectoryW(nullptr); }
    };
}

TEST_F(MountManagerTest, QueriesHandOverACommittedBlockAndListEveryName)
{
    const String name = Unique(L"QmListed");
    const String device = Unique(L"\\Device\\QmListedVolume");
    TemporaryLink link(name, device);
    DosDeviceBuffer block;
    MountManager::QueryDosDevice(name.c_str(), block);
    ASSERT_TRUE(block);
    EXPECT_EQ(device, String(block.get()));

    // The block is the caller's: committed virtual memory until the owner lets it go, and kept
    // as it was when a later query fails.
    MEMORY_BASIC_INFORMATION memory = {};
    ASSERT_NE(0u, VirtualQuery(block.get(), &memory, sizeof(memory)));
    EXPECT_EQ(static_cast<DWORD>(MEM_COMMIT), memory.State);
    EXPECT_EQ(block.get(), memory.AllocationBase);
    wchar_t* const address = block.get();
    EXPECT_EQ(L"QueryDosDevice failed.", MessageOf<MountManagerException>(
                                             [&] { MountManager::QueryDosDevice(Unique(L"QmNoSuchDevice").c_str(), block); }));
    EXPECT_EQ(address, block.get());
    block.reset();
    ASSERT_NE(0u, VirtualQuery(address, &memory, sizeof(memory)));
    EXPECT_EQ(static_cast<DWORD>(MEM_FREE), memory.State);

    StringList names = {L"stale entry"};
    MountManager::ListDosDevices(names);
    EXPECT_EQ(1, std::count(names.begin(), names.end(), name));
    EXPECT_EQ(1, std::count(names.begin(), names.end(), L"C:"));
    EXPECT_EQ(0, std::count(names.begin(), names.end(), L"stale entry"));
}

TEST_F(MountManagerTest, ConvertSymbolicLinkResolvesThroughTheModuleAndFreesIt)
{
    const String device = Unique(L"\\Device\\QmConvertVolume");
    const String name = Unique(L"QmConvert") + L":";
    TemporaryLink link(name, device);
    EXPECT_EQ(device, MountManager::ConvertSymbolicLink(L"\\??\\" + name));
    EXPECT_EQ(device, MountManager::ConvertSymbolicLink(L"\\DosDevices\\" + name));
    // The device itself is no link: resolving it again changes nothing.
    EXPECT_EQ(device, MountManager::ConvertSymbolicLink(device));
    EXPECT_EQ(nullptr, GetModuleHandleW(L"MountManager.dll"));
}

TEST_F(MountManagerTest, GetDriveLetterAnswersOnlyWithANameWithColonForExactlyThatDevice)
{
    const String device = Unique(L"\\Device\\QmVolume");
    TemporaryLink bare(Unique(L"QmBare"), device);
    EXPECT_EQ(L"Could not get drive letter", MessageOf<MountManagerException>([&] { DriveLetterOf(device); }));

    const String first = Unique(L"QmFirst") + L":";
    TemporaryLink firstLink(first, device);
    EXPECT_EQ(first, DriveLetterOf(device));
    // Device paths compare exactly.
    for (const String& other : {Strings::ToUpper(device), device + L"\\"})
        EXPECT_EQ(L"Could not get drive letter", MessageOf<MountManagerException>([&] { DriveLetterOf(other); }));

    // Of two drives, the last in the system's order.
    const String second = Unique(L"QmSecond") + L":";
    TemporaryLink secondLink(second, device);
    StringList names;
    MountManager::ListDosDevices(names);
    const auto firstAt = std::find(names.begin(), names.end(), first);
    const auto secondAt = std::find(names.begin(), names.end(), second);
    ASSERT_TRUE(firstAt != names.end() && secondAt != names.end());
    EXPECT_EQ(firstAt > secondAt ? first : second, DriveLetterOf(device));

    // A drive whose direct target is a link to the device: only the two-step pass can see it.
    const String deepDevice = Unique(L"\\Device\\QmDeepVolume");
    const String inner = Unique(L"QmDeepInner");
    const String drive = Unique(L"QmDeep") + L":";
    TemporaryLink innerLink(inner, deepDevice);
    TemporaryLink driveLink(drive, L"\\??\\" + inner);
    EXPECT_EQ(drive, DriveLetterOf(deepDevice));
}

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
