// The mount manager against DOS devices each test makes for itself (object-manager links named
// after the process), and its module MountManager.dll, loaded from where it is built.

#include "platform/MountManagerClient.h"
#include "mountmanager/ConvertSymbolicLink.h"

#include "common/ScratchDirectory.h"

#include <winternl.h>

#include <algorithm>

namespace
{
    // A symbolic link in the object manager, with the given security, gone with its handle, so a
    // test that fails half way leaves no DOS device behind.
    UniqueKernelHandle TemporaryLink(const String& name, const String& target, const wchar_t* sddl = nullptr)
    {
        using CreateProc = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
        const auto create = GetProc<CreateProc>(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject");
        const UniqueLocalMemory descriptor = sddl != nullptr ? FileSecurity::FromSddl(sddl) : UniqueLocalMemory();
        const String fullName = L"\\??\\" + name;
        const auto counted = [](const String& text) {
            const USHORT bytes = static_cast<USHORT>(text.size() * 2);
            return UNICODE_STRING{bytes, bytes, const_cast<wchar_t*>(text.c_str())};
        };
        UNICODE_STRING linkName = counted(fullName), linkTarget = counted(target);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &linkName, OBJ_CASE_INSENSITIVE, nullptr, descriptor.get());
        // No access asked: a link whose security denies everything can still be made.
        UniqueKernelHandle link;
        EXPECT_TRUE(create != nullptr && NT_SUCCESS(create(link.put(), 0, &attributes, &linkTarget)))
            << "cannot create the link " << Strings::ToUtf8(name);
        return link;
    }

    String DriveLetterOf(const String& devicePath)
    {
        String drive = L"(none)";
        MountManager::GetDriveLetter(devicePath, drive);
        return drive;
    }

    const String NoDriveLetter = L"Could not get drive letter";

    class MountManagerTest : public testing::Test
    {
    protected:
        // Lets LoadLibrary("MountManager") find the module as it would beside the main module.
        void SetUp() override { ASSERT_TRUE(SetDllDirectoryW(Lab::MountManagerFolder().c_str())); }
        void TearDown() override { SetDllDirectoryW(nullptr); }
    };
}

// The list of names is read through the lookups below; that the block is released whole, in the
// owners' test (UniqueHandle).
TEST_F(MountManagerTest, AQueryHandsOverACommittedBlockKeptWhenALaterQueryFails)
{
    const String name = Unique(L"QmListed");
    const String device = Unique(L"\\Device\\QmListedVolume");
    const UniqueKernelHandle link = TemporaryLink(name, device);
    DosDeviceBuffer block;
    MountManager::QueryDosDevice(name.c_str(), block);
    ASSERT_TRUE(block);
    EXPECT_EQ(device, String(block.get()));
    wchar_t* const address = block.get();
    MEMORY_BASIC_INFORMATION memory = {};
    ASSERT_NE(0u, VirtualQuery(address, &memory, sizeof(memory)));
    EXPECT_TRUE(memory.State == MEM_COMMIT && memory.AllocationBase == address);
    EXPECT_EQ(L"QueryDosDevice failed.", MessageOf<MountManagerException>(
                                             [&] { MountManager::QueryDosDevice(Unique(L"QmNoSuchDevice").c_str(), block); }));
    EXPECT_EQ(address, block.get());
}

TEST_F(MountManagerTest, GetDriveLetterAnswersOnlyWithANameWithColonForExactlyThatDevice)
{
    const String device = Unique(L"\\Device\\QmVolume");
    const UniqueKernelHandle bare = TemporaryLink(Unique(L"QmBare"), device);
    EXPECT_EQ(NoDriveLetter, MessageOf<MountManagerException>([&] { DriveLetterOf(device); }));

    const String first = Unique(L"QmFirst") + L":";
    const UniqueKernelHandle firstLink = TemporaryLink(first, device);
    EXPECT_EQ(first, DriveLetterOf(device));
    for (const String& other : {Strings::ToUpper(device), device + L"\\"})
        EXPECT_EQ(NoDriveLetter, MessageOf<MountManagerException>([&] { DriveLetterOf(other); }));

    // Of two drives, the last in the system's order.
    const String second = Unique(L"QmSecond") + L":";
    const UniqueKernelHandle secondLink = TemporaryLink(second, device);
    StringList names;
    MountManager::ListDosDevices(names);
    const auto firstAt = std::find(names.begin(), names.end(), first);
    const auto secondAt = std::find(names.begin(), names.end(), second);
    ASSERT_TRUE(firstAt != names.end() && secondAt != names.end());
    EXPECT_EQ(firstAt > secondAt ? first : second, DriveLetterOf(device));
}

// A name that cannot be queried (a drive that went away, a link the caller may not read) is
// passed over in both passes. That one reading serves every lookup of a backup is counted in the
// lab (lab.platform_calls).
TEST_F(MountManagerTest, DosDevicesPassOverANameThatCannotBeQueriedAndFollowADriveThroughALink)
{
    const String locked = Unique(L"QmLocked") + L":";
    const UniqueKernelHandle lockedLink = TemporaryLink(locked, L"\\Device\\QmLockedVolume", L"D:P");
    StringList names;
    MountManager::ListDosDevices(names);
    ASSERT_NE(names.end(), std::find(names.begin(), names.end(), locked));
    wchar_t target[1024] = {};
    ASSERT_EQ(0u, QueryDosDeviceW(locked.c_str(), target, 1024));

    // A drive whose direct target is a link to the device: only the two-step pass can see it.
    const String device = Unique(L"\\Device\\QmDeepVolume");
    const String inner = Unique(L"QmDeepInner");
    const String deep = Unique(L"QmDeep") + L":";
    const UniqueKernelHandle innerLink = TemporaryLink(inner, device);
    const UniqueKernelHandle deepLink = TemporaryLink(deep, L"\\??\\" + inner);
    DosDevices devices;
    String drive;
    devices.GetDriveLetter(device, drive);
    EXPECT_EQ(deep, drive);
    EXPECT_EQ(deep, DriveLetterOf(device));
    EXPECT_EQ(device, MountManager::ConvertSymbolicLink(L"\\DosDevices\\" + inner));
    EXPECT_EQ(nullptr, GetModuleHandleW(L"MountManager.dll")) << "loaded for the call only";
}

namespace
{
    // The module's export, loaded from where it is built, into a buffer of chars characters
    // pre-filled with a sentinel: the text, or "(failed <last error>, <buffer>)".
    String Convert(const wchar_t* name, DWORD chars = 256)
    {
        const UniqueLibrary module(LoadLibraryW((Lab::MountManagerFolder() + L"\\MountManager.dll").c_str()));
        const auto convert = GetProc<ConvertSymbolicLinkProc>(module.get(), ConvertSymbolicLinkExport);
        if (convert == nullptr)
            return L"(no module or no export)";
        std::vector<wchar_t> buffer(chars + 1, L'#');
        SetLastError(0xDEADBEEF);
        if (!convert(name, buffer.data(), chars))
            return Strings::Format(L"(failed %lu, %s)", GetLastError(), buffer[0] == L'#' ? L"untouched" : buffer.data());
        return String(buffer.data(), std::find(buffer.begin(), buffer.end(), L'\0') - buffer.begin());
    }
}

TEST(MountManagerModule, HandsNamesThatAreNoLinkBackAndRefusesWhatDoesNotFit)
{
    wchar_t systemDevice[MAX_PATH] = {};
    ASSERT_NE(0u, QueryDosDeviceW(L"C:", systemDevice, MAX_PATH));
    const String device = systemDevice;
    EXPECT_EQ(device, Convert(L"\\dosdevices\\c:"));
    // A directory, a name nothing is registered under, and GLOBALROOT's empty target.
    for (const String& same : {String(L"\\Device"), String(L"\\Device\\QmNothingHere"), String()})
        EXPECT_EQ(same, Convert(same.c_str()));

    const DWORD fits = static_cast<DWORD>(device.size() + 1);
    EXPECT_EQ(device, Convert(L"\\??\\C:", fits));
    const String tooSmall = Strings::Format(L"(failed %lu, )", static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(tooSmall, Convert(L"\\??\\C:", fits - 1));
    EXPECT_EQ(tooSmall, Convert(L"\\Device\\QmNothingHere", 10));
    // A null name or buffer, or none of it, is refused (ERROR_INVALID_PARAMETER).
    EXPECT_EQ(Strings::Format(L"(failed %lu, untouched)", static_cast<DWORD>(ERROR_INVALID_PARAMETER)),
              Convert(L"\\??\\C:", 0));
}
