#include "common/MountManager.h"

#include "common/LabBinaries.h"

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
            UNICODE_STRING linkName = Counted(name);
            UNICODE_STRING linkTarget = Counted(target);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &linkName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
            m_status = create != nullptr ? create(&m_handle, 0xF0001, &attributes, &linkTarget) : -1;
        }
        TemporaryLink(const TemporaryLink&) = delete;
        TemporaryLink& operator=(const TemporaryLink&) = delete;
        ~TemporaryLink()
        {
            if (m_handle != nullptr)
                CloseHandle(m_handle);
        }
        bool Created() const { return NT_SUCCESS(m_status); }
        NTSTATUS Status() const { return m_status; }

    private:
        static UNICODE_STRING Counted(const String& text)
        {
            UNICODE_STRING counted;
            counted.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
            counted.MaximumLength = counted.Length;
            counted.Buffer = const_cast<wchar_t*>(text.c_str());
            return counted;
        }

        HANDLE m_handle = nullptr;
        NTSTATUS m_status = -1;
    };

    String Unique(const wchar_t* stem)
    {
        return Strings::Format(L"%s%lu", stem, GetCurrentProcessId());
    }

    String SystemTarget(const String& dosName)
    {
        wchar_t target[1024] = {};
        return ::QueryDosDeviceW(dosName.c_str(), target, 1024) != 0 ? String(target) : String();
    }

    String DriveLetterOf(const String& devicePath)
    {
        String drive;
        MountManager::GetDriveLetter(devicePath, drive);
        return drive;
    }

    // The message of the MountManagerException that call throws, or "(no exception)".
    template <typename Call>
    String MessageOf(Call call)
    {
        try
        {
            call();
        }
        catch (const MountManagerException& error)
        {
            return error.GetMessage();
        }
        return L"(no exception)";
    }

    class MountManagerTest : public testing::Test
    {
    protected:
        void SetUp() override { ASSERT_TRUE(LabBinaries::UseMountManagerModule()); }
        void TearDown() override { SetDllDirectoryW(nullptr); }
    };
}

TEST_F(MountManagerTest, QueryDosDeviceHandsOverACommittedBlockWithTheSystemsAnswer)
{
    const String expected = SystemTarget(L"C:");
    ASSERT_FALSE(expected.empty());

    DosDeviceBuffer block;
    MountManager::QueryDosDevice(L"C:", block);
    ASSERT_TRUE(block);
    EXPECT_EQ(expected, String(block.get()));

    // The block is the caller's: committed virtual memory until the owner lets it go.
    MEMORY_BASIC_INFORMATION memory = {};
    ASSERT_NE(0u, VirtualQuery(block.get(), &memory, sizeof(memory)));
    EXPECT_EQ(static_cast<DWORD>(MEM_COMMIT), memory.State);
    EXPECT_EQ(block.get(), memory.AllocationBase);
    void* const address = block.get();
    block.reset();
    ASSERT_NE(0u, VirtualQuery(address, &memory, sizeof(memory)));
    EXPECT_EQ(static_cast<DWORD>(MEM_FREE), memory.State);
}

TEST_F(MountManagerTest, QueryDosDeviceOfAnUnknownNameThrowsAndKeepsTheBuffer)
{
    DosDeviceBuffer block;
    MountManager::QueryDosDevice(L"C:", block);
    const wchar_t* const before = block.get();

    EXPECT_EQ(L"QueryDosDevice failed.", MessageOf([&] { MountManager::QueryDosDevice(Unique(L"QmNoSuchDevice").c_str(), block); }));
    EXPECT_EQ(before, block.get());
}

TEST_F(MountManagerTest, ListDosDevicesGivesEveryNameInTheSystemsOrder)
{
    const String name = Unique(L"QmListed");
    TemporaryLink link(L"\\??\\" + name, L"\\Device\\QmListedVolume");
    ASSERT_TRUE(link.Created()) << std::hex << link.Status();

    std::vector<wchar_t> raw(65536);
    ASSERT_NE(0u, ::QueryDosDeviceW(nullptr, raw.data(), static_cast<DWORD>(raw.size())));
    StringList expected;
    for (const wchar_t* at = raw.data(); *at != L'\0'; at += wcslen(at) + 1)
        expected.emplace_back(at);

    StringList names = {L"stale entry"};
    MountManager::ListDosDevices(names);
    EXPECT_EQ(expected, names);
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), L"C:"));
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), name));
}

TEST_F(MountManagerTest, ConvertSymbolicLinkResolvesDosNamesToTheirDevice)
{
    const String device = SystemTarget(L"C:");
    ASSERT_FALSE(device.empty());
    EXPECT_EQ(device, MountManager::ConvertSymbolicLink(L"\\??\\C:"));
    EXPECT_EQ(device, MountManager::ConvertSymbolicLink(L"\\DosDevices\\C:"));
    // The device itself is no link: resolving it again changes nothing.
    EXPECT_EQ(device, MountManager::ConvertSymbolicLink(device));
    // Each call loads and frees the module: nothing of it stays in the process.
    EXPECT_EQ(nullptr, GetModuleHandleW(L"MountManager.dll"));
}

TEST_F(MountManagerTest, GetDriveLetterMapsTheSystemVolumeToC)
{
    const String device = SystemTarget(L"C:");
    ASSERT_FALSE(device.empty());
    EXPECT_EQ(L"C:", DriveLetterOf(device));
}

TEST_F(MountManagerTest, GetDriveLetterOfEveryDriveTargetIsTheLastDriveWithThatTarget)
{
    StringList names;
    MountManager::ListDosDevices(names);
    int drives = 0;
    for (const String& name : names)
    {
        const String target = SystemTarget(name);
        if (name.find(L':', 1) == String::npos || target.empty())
            continue;
        ++drives;
        String expected;
        for (const String& other : names)
            if (other.find(L':', 1) != String::npos && SystemTarget(other) == target)
                expected = other;
        const String drive = DriveLetterOf(target);
        EXPECT_EQ(expected, drive) << "for " << Strings::ToUtf8(target);
        EXPECT_NE(String::npos, drive.find(L':', 1));
    }
    EXPECT_GT(drives, 0);
}

TEST_F(MountManagerTest, GetDriveLetterNeverAnswersWithANameWithoutColon)
{
    const String device = Unique(L"\\Device\\QmBareVolume");
    TemporaryLink bare(L"\\??\\" + Unique(L"QmBareName"), device);
    ASSERT_TRUE(bare.Created());

    String drive = L"unchanged";
    EXPECT_EQ(L"Could not get drive letter", MessageOf([&] { MountManager::GetDriveLetter(device, drive); }));
    EXPECT_EQ(L"unchanged", drive);

    // A name like PhysicalDrive0 maps a device too, and is still no answer for it.
    const String physical = SystemTarget(L"PhysicalDrive0");
    if (!physical.empty())
    {
        EXPECT_EQ(L"Could not get drive letter", MessageOf([&] { DriveLetterOf(physical); }));
    }
}

TEST_F(MountManagerTest, GetDriveLetterPicksTheLastOfSeveralDrivesInListOrder)
{
    const String device = Unique(L"\\Device\\QmSharedVolume");
    const String first = Unique(L"QmFirst") + L":";
    const String second = Unique(L"QmSecond") + L":";
    TemporaryLink bare(L"\\??\\" + Unique(L"QmSharedBare"), device);
    TemporaryLink firstLink(L"\\??\\" + first, device);
    ASSERT_TRUE(bare.Created() && firstLink.Created());
    EXPECT_EQ(first, DriveLetterOf(device));

    TemporaryLink secondLink(L"\\??\\" + second, device);
    ASSERT_TRUE(secondLink.Created());
    StringList names;
    MountManager::ListDosDevices(names);
    const auto firstAt = std::find(names.begin(), names.end(), first);
    const auto secondAt = std::find(names.begin(), names.end(), second);
    ASSERT_TRUE(firstAt != names.end() && secondAt != names.end());
    EXPECT_EQ(firstAt > secondAt ? first : second, DriveLetterOf(device));
}

TEST_F(MountManagerTest, GetDriveLetterComparesDevicePathsExactly)
{
    const String device = SystemTarget(L"C:");
    ASSERT_FALSE(device.empty());
    const String otherCase = Strings::ToUpper(device);
    ASSERT_NE(device, otherCase);
    EXPECT_EQ(L"Could not get drive letter", MessageOf([&] { DriveLetterOf(otherCase); }));
    EXPECT_EQ(L"Could not get drive letter", MessageOf([&] { DriveLetterOf(device + L"\\"); }));
}

TEST_F(MountManagerTest, GetDriveLetterFindsADriveWhoseTargetIsItselfALink)
{
    // The drive's direct target is a link to the device: only the two-step pass can see it.
    const String device = Unique(L"\\Device\\QmDeepVolume");
    const String inner = Unique(L"QmDeepInner");
    const String drive = Unique(L"QmDeep") + L":";
    TemporaryLink innerLink(L"\\??\\" + inner, device);
    TemporaryLink driveLink(L"\\??\\" + drive, L"\\??\\" + inner);
    ASSERT_TRUE(innerLink.Created() && driveLink.Created());

    EXPECT_EQ(drive, DriveLetterOf(device));
}
