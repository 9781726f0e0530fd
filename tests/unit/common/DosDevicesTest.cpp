// The drive-letter lookup over one reading of the DOS devices: a name that cannot be queried (a
// drive that went away, a link the caller may not read) is passed over, in both passes.

#include "common/MountManager.h"

#include "common/Handles.h"

#include <gtest/gtest.h>

#include <sddl.h>
#include <winternl.h>

#include <algorithm>

namespace
{
    // A symbolic link in the object manager, with the given security, that lives as long as
    // this object holds it.
    class HeldLink
    {
    public:
        HeldLink(const String& name, const String& target, const wchar_t* sddl = nullptr)
        {
            using CreateProc = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
            const auto create = reinterpret_cast<CreateProc>(reinterpret_cast<void*>(
                GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            if (sddl != nullptr &&
                !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
                return;
            const UniqueLocalMemory descriptorOwner(descriptor);
            UNICODE_STRING linkName = Counted(name);
            UNICODE_STRING linkTarget = Counted(target);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &linkName, OBJ_CASE_INSENSITIVE, nullptr, descriptor);
            HANDLE handle = nullptr;
            // No access asked: a link whose security denies everything can still be made.
            if (create != nullptr && NT_SUCCESS(create(&handle, 0, &attributes, &linkTarget)))
                m_handle.reset(handle);
        }
        bool Created() const { return static_cast<bool>(m_handle); }

    private:
        static UNICODE_STRING Counted(const String& text)
        {
            UNICODE_STRING counted;
            counted.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
            counted.MaximumLength = counted.Length;
            counted.Buffer = const_cast<wchar_t*>(text.c_str());
            return counted;
        }

        UniqueKernelHandle m_handle;
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
}

TEST(DosDevices, ANameThatCannotBeQueriedIsPassedOver)
{
    // Listed among the DOS devices, but nobody may read where it leads.
    const String locked = Unique(L"QmLocked") + L":";
    HeldLink lockedLink(L"\\??\\" + locked, L"\\Device\\QmLockedVolume", L"D:P");
    ASSERT_TRUE(lockedLink.Created());
    StringList names;
    MountManager::ListDosDevices(names);
    ASSERT_NE(names.end(), std::find(names.begin(), names.end(), locked));
    ASSERT_EQ(String(), SystemTarget(locked));

    // One drive found directly, one only through the second, link-resolving pass.
    const String device = Unique(L"\\Device\\QmDeepVolume");
    const String inner = Unique(L"QmDeepInner");
    const String deep = Unique(L"QmDeep") + L":";
    HeldLink innerLink(L"\\??\\" + inner, device);
    HeldLink deepLink(L"\\??\\" + deep, L"\\??\\" + inner);
    ASSERT_TRUE(innerLink.Created() && deepLink.Created());
    const String system = SystemTarget(L"C:");
    ASSERT_FALSE(system.empty());

    DosDevices devices;
    String drive;
    devices.GetDriveLetter(system, drive);
    EXPECT_EQ(L"C:", drive);
    devices.GetDriveLetter(device, drive);
    EXPECT_EQ(deep, drive);
    String again;
    MountManager::GetDriveLetter(device, again);
    EXPECT_EQ(deep, again);
}

TEST(DosDevices, OneReadingServesEveryLookup)
{
    DosDevices devices;
    // A drive that appears after the reading is not in it; a new reading has it.
    const String device = Unique(L"\\Device\\QmLateVolume");
    const String late = Unique(L"QmLate") + L":";
    HeldLink link(L"\\??\\" + late, device);
    ASSERT_TRUE(link.Created());

    String drive = L"unchanged";
    try
    {
        devices.GetDriveLetter(device, drive);
        ADD_FAILURE() << "found a drive that appeared after the reading";
    }
    catch (const MountManagerException& error)
    {
        EXPECT_EQ(L"Could not get drive letter", error.GetMessage());
    }
    EXPECT_EQ(L"unchanged", drive);
    DosDevices().GetDriveLetter(device, drive);
    EXPECT_EQ(late, drive);
}
