#include "files/StagingFolder.h"

#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"

#include <sddl.h>

#include <algorithm>

const wchar_t* const StagingFolder::Name = L"SystemStateRestore";

namespace
{
    const SECURITY_INFORMATION AllParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                          DACL_SECURITY_INFORMATION;
    const BYTE InheritanceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const DWORD GenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

    [[noreturn]] void ThrowLastError(const wchar_t* call, const String& path)
    {
        const String error = ErrorText::FormatLastError();
        throw FileSystemException(Strings::Format(L"%s(%s) failed: %s", call, path.c_str(), error.c_str()));
    }

    // A well-known SID in a buffer of its own.
    struct WellKnownSid
    {
        explicit WellKnownSid(WELL_KNOWN_SID_TYPE type)
        {
            DWORD size = sizeof bytes;
            if (!CreateWellKnownSid(type, nullptr, bytes, &size))
                ThrowLastError(L"CreateWellKnownSid", Strings::Format(L"%d", static_cast<int>(type)));
        }
        PSID get() { return bytes; }

        BYTE bytes[SECURITY_MAX_SID_SIZE];
    };

    String SidText(PSID sid)
    {
        wchar_t* text = nullptr;
        if (sid == nullptr || !ConvertSidToStringSidW(sid, &text))
            return L"no one";
        const UniqueLocalMemory owner(text);
        return text;
    }

    StagingFolder::Descriptor SelfRelative(PSECURITY_DESCRIPTOR absolute)
    {
        DWORD size = 0;
        MakeSelfRelativeSD(absolute, nullptr, &size);
        StagingFolder::Descriptor descriptor(size);
        if (size == 0 || !MakeSelfRelativeSD(absolute, descriptor.data(), &size))
            ThrowLastError(L"MakeSelfRelativeSD", L"");
        return descriptor;
    }

    // Opened for reading or changing its security only, through the backup and restore
    // privileges where the caller holds them, so that a list that keeps administrators out does
    // not stop it; a link is opened itself, never followed.
    UniqueFileHandle OpenForSecurity(const String& path, DWORD access)
    {
        UniqueFileHandle handle(CreateFileW(Paths::ToLongPath(path).c_str(), access,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
        if (!handle)
            ThrowLastError(L"CreateFile", path);
        return handle;
    }

    // Writes the parts of descriptor that it has.
    void WriteSecurity(const String& path, PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts)
    {
        PSID sid = nullptr;
        BOOL defaulted = FALSE;
        if (GetSecurityDescriptorOwner(descriptor, &sid, &defaulted) && sid == nullptr)
            parts &= ~OWNER_SECURITY_INFORMATION;
        if (GetSecurityDescriptorGroup(descriptor, &sid, &defaulted) && sid == nullptr)
            parts &= ~GROUP_SECURITY_INFORMATION;
        BOOL present = FALSE;
        PACL list = nullptr;
        if (GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) && !present)
            parts &= ~DACL_SECURITY_INFORMATION;
        const UniqueFileHandle handle = OpenForSecurity(path, WRITE_DAC | WRITE_OWNER);
        if (!SetKernelObjectSecurity(handle.get(), parts, descriptor))
            ThrowLastError(L"SetKernelObjectSecurity", path);
    }

    bool IsCreatorSid(PSID sid, WELL_KNOWN_SID_TYPE type)
    {
        WellKnownSid creator(type);
        return EqualSid(sid, creator.get()) != FALSE;
    }

    // Allowed and denied entries: a header, the rights, then the SID.
    bool IsBasic(const ACE_HEADER* entry)
    {
        return entry->AceType == ACCESS_ALLOWED_ACE_TYPE || entry->AceType == ACCESS_DENIED_ACE_TYPE;
    }
    DWORD EntryMask(ACE_HEADER* entry)
    {
        return IsBasic(entry) ? reinterpret_cast<ACCESS_ALLOWED_ACE*>(entry)->Mask : 0;
    }
    PSID EntrySid(ACE_HEADER* entry)
    {
        return IsBasic(entry) ? static_cast<PSID>(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart) : nullptr;
    }

    // Adds an entry built like source (an allowed or denied entry; any other kind is copied as
    // it is) with other flags, rights and SID.
    void AddEntry(std::vector<BYTE>& list, const ACE_HEADER* source, BYTE flags, DWORD mask, PSID sid)
    {
        const PACL acl = reinterpret_cast<PACL>(list.data());
        BOOL added = FALSE;
        if (source->AceType == ACCESS_ALLOWED_ACE_TYPE)
            added = AddAccessAllowedAceEx(acl, acl->AclRevision, flags, mask, sid);
        else if (source->AceType == ACCESS_DENIED_ACE_TYPE)
            added = AddAccessDeniedAceEx(acl, acl->AclRevision, flags, mask, sid);
        else
        {
            std::vector<BYTE> copy(reinterpret_cast<const BYTE*>(source),
                                   reinterpret_cast<const BYTE*>(source) + source->AceSize);
            reinterpret_cast<ACE_HEADER*>(copy.data())->AceFlags = flags;
            added = AddAce(acl, acl->AclRevision, MAXDWORD, copy.data(), source->AceSize);
        }
        if (!added)
            ThrowLastError(L"AddAce", L"");
    }
}

String StagingFolder::RootOf(const String& path)
{
    std::vector<wchar_t> volume(std::max<size_t>(path.size() + 2, MAX_PATH + 1));
    if (!GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
        ThrowLastError(L"GetVolumePathName", path);
    String root = volume.data();
    Directories::AppendBackslash(root);
    return root + Name;
}

void StagingFolder::Prepare(const String& root, const String& folder, Folders& folders)
{
    const String base = Directories::RemoveBackslash(root);
    const String target = Directories::RemoveBackslash(folder);
    if (!Strings::EqualsNoCase(target, base) && !Strings::StartsWithNoCase(target, base + L"\\"))
        throw FileSystemException(Strings::Format(L"%s is not below %s", folder.c_str(), root.c_str()));

    // Each folder below gets, explicitly, the list the root passes on: one found there may have
    // been made while the root let others in, and a list set on the root reaches no folder that
    // is already there.
    Descriptor rootSecurity = RootSecurity();
    Descriptor belowSecurity = Inherit(rootSecurity.data(), true);
    const auto prepareOne = [&](const String& current, bool isRoot) {
        if (std::any_of(folders.ready.begin(), folders.ready.end(),
                        [&](const String& known) { return Strings::EqualsNoCase(known, current); }))
            return;
        const DWORD attributes = GetFileAttributesW(Paths::ToLongPath(current).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
        {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                ThrowLastError(L"GetFileAttributes", current);
            // The root must not take the volume's list even for a moment.
            SECURITY_ATTRIBUTES attributesOfNew = {sizeof attributesOfNew, nullptr, FALSE};
            if (isRoot)
                attributesOfNew.lpSecurityDescriptor = rootSecurity.data();
            if (!CreateDirectoryW(Paths::ToLongPath(current).c_str(), &attributesOfNew))
                ThrowLastError(L"CreateDirectory", current);
            folders.created.push_back(current);
            if (!isRoot)
                WriteSecurity(current, belowSecurity.data(), DACL_SECURITY_INFORMATION);
        }
        else
        {
            Descriptor security;
            PSID owner = nullptr;
            BOOL defaulted = FALSE;
            if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            {
                security = ReadSecurity(current);
                GetSecurityDescriptorOwner(security.data(), &owner, &defaulted);
            }
            CheckExisting(current, attributes, owner);
            // It may have been made by an administrator with a list that lets others in.
            WriteSecurity(current, isRoot ? rootSecurity.data() : belowSecurity.data(),
                          DACL_SECURITY_INFORMATION);
        }
        folders.ready.push_back(current);
    };

    prepareOne(base, true);
    for (size_t end = base.size(); end < target.size();)
    {
        end = std::min(target.find(L'\\', end + 1), target.size());
        prepareOne(target.substr(0, end), false);
    }
}

void StagingFolder::RemoveCreated(const Folders& folders) noexcept
{
    const DWORD lastError = GetLastError();
    for (auto folder = folders.created.rbegin(); folder != folders.created.rend(); ++folder)
        RemoveDirectoryW(Paths::ToLongPath(*folder).c_str());
    SetLastError(lastError);
}

void StagingFolder::CheckExisting(const String& path, DWORD attributes, PSID owner)
{
    const wchar_t* reason = nullptr;
    String ownerText;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        reason = L"it is a link";
    else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        reason = L"it is a file";
    else if (!IsTrustedOwner(owner))
    {
        ownerText = L"it belongs to " + SidText(owner) + L", not to Administrators or SYSTEM";
        reason = ownerText.c_str();
    }
    if (reason != nullptr)
        throw FileSystemException(Strings::Format(
            L"Refused the staging folder %s: %s. Nothing was staged there; remove it and run the restore again.",
            path.c_str(), reason));
}

bool StagingFolder::IsTrustedOwner(PSID owner)
{
    if (owner == nullptr || !IsValidSid(owner))
        return false;
    for (WELL_KNOWN_SID_TYPE type : {WinBuiltinAdministratorsSid, WinLocalSystemSid})
    {
        WellKnownSid trusted(type);
        if (EqualSid(owner, trusted.get()))
            return true;
    }
    UniqueKernelHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return false;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(std::max<DWORD>(size, sizeof(TOKEN_USER)));
    return GetTokenInformation(token.get(), TokenUser, user.data(), static_cast<DWORD>(user.size()), &size) &&
           EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

StagingFolder::Descriptor StagingFolder::RootSecurity()
{
    WellKnownSid administrators(WinBuiltinAdministratorsSid);
    WellKnownSid system(WinLocalSystemSid);
    const DWORD entryBase = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
    std::vector<BYTE> list(sizeof(ACL) + 2 * entryBase + GetLengthSid(administrators.get()) +
                           GetLengthSid(system.get()));
    const PACL acl = reinterpret_cast<PACL>(list.data());
    SECURITY_DESCRIPTOR absolute;
    if (!InitializeAcl(acl, static_cast<DWORD>(list.size()), ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, InheritanceFlags, FILE_ALL_ACCESS, administrators.get()) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, InheritanceFlags, FILE_ALL_ACCESS, system.get()) ||
        !InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&absolute, administrators.get(), FALSE) ||
        !SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&absolute, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        ThrowLastError(L"InitializeSecurityDescriptor", StagingFolder::Name);
    return SelfRelative(&absolute);
}

void StagingFolder::CarrySecurity(const String& live, const String& staged)
{
    Descriptor security;
    if (Paths::Exists(live))
    {
        security = ReadSecurity(live);
    }
    else
    {
        // The nearest folder that is there, and how many are missing below it.
        int missing = 0;
        String folder = Directories::GetDirectory(live, true);
        for (; !Directories::IsRoot(folder) && !Paths::Exists(folder); ++missing)
            folder = Directories::GetDirectory(folder, true);
        if (Directories::IsRoot(folder))
            Directories::AppendBackslash(folder);
        security = ReadSecurity(folder);
        for (int level = 0; level < missing; ++level)
            security = Inherit(security.data(), true);
        security = Inherit(security.data(), false);
    }
    WriteSecurity(staged, security.data(), AllParts);
}

StagingFolder::Descriptor StagingFolder::Inherit(PSECURITY_DESCRIPTOR parent, bool folder)
{
    PSID owner = nullptr;
    PSID group = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    PACL parentList = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorOwner(parent, &owner, &defaulted) ||
        !GetSecurityDescriptorGroup(parent, &group, &defaulted) ||
        !GetSecurityDescriptorDacl(parent, &present, &parentList, &defaulted) ||
        !GetSecurityDescriptorControl(parent, &control, &revision))
        ThrowLastError(L"GetSecurityDescriptorDacl", L"");

    SECURITY_DESCRIPTOR absolute;
    if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&absolute, owner, FALSE) || !SetSecurityDescriptorGroup(&absolute, group, FALSE))
        ThrowLastError(L"InitializeSecurityDescriptor", L"");

    std::vector<BYTE> list;
    if (present && parentList != nullptr)
    {
        // Each entry becomes at most two, each SID at most the largest there is.
        size_t size = sizeof(ACL);
        for (DWORD index = 0; index < parentList->AceCount; ++index)
        {
            ACE_HEADER* entry = nullptr;
            if (GetAce(parentList, index, reinterpret_cast<void**>(&entry)))
                size += 2 * (entry->AceSize + SECURITY_MAX_SID_SIZE);
        }
        list.resize(std::min<size_t>(size, 0xFFFC));
        const PACL acl = reinterpret_cast<PACL>(list.data());
        if (!InitializeAcl(acl, static_cast<DWORD>(list.size()), parentList->AclRevision))
            ThrowLastError(L"InitializeAcl", L"");

        GENERIC_MAPPING fileRights = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        for (DWORD index = 0; index < parentList->AceCount; ++index)
        {
            ACE_HEADER* entry = nullptr;
            if (!GetAce(parentList, index, reinterpret_cast<void**>(&entry)))
                ThrowLastError(L"GetAce", L"");
            const BYTE flags = entry->AceFlags;
            const bool passes = folder ? (flags & InheritanceFlags) != 0 : (flags & OBJECT_INHERIT_ACE) != 0;
            if (!passes)
                continue;
            const bool propagates = (flags & NO_PROPAGATE_INHERIT_ACE) == 0;
            // An entry only for files passes through a folder to the files in it.
            if (folder && (flags & CONTAINER_INHERIT_ACE) == 0)
            {
                if (propagates)
                    AddEntry(list, entry, INHERITED_ACE | OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, EntryMask(entry),
                             EntrySid(entry));
                continue;
            }
            const bool passesOn = folder && propagates;
            const BYTE passedFlags = INHERITED_ACE | (passesOn ? (flags & InheritanceFlags) : 0);
            if (!IsBasic(entry))
            {
                AddEntry(list, entry, passedFlags, 0, nullptr);
                continue;
            }

            // The entry as it applies to the child itself: a creator SID stands for the child's
            // owner or group, generic rights for the file rights they mean.
            const DWORD mask = EntryMask(entry);
            const PSID sid = EntrySid(entry);
            PSID effectiveSid = sid;
            if (IsCreatorSid(sid, WinCreatorOwnerSid))
                effectiveSid = owner;
            else if (IsCreatorSid(sid, WinCreatorGroupSid))
                effectiveSid = group;
            DWORD effectiveMask = mask;
            MapGenericMask(&effectiveMask, &fileRights);
            effectiveMask &= ~GenericRights;
            if (effectiveSid == sid && effectiveMask == mask)
            {
                AddEntry(list, entry, passedFlags, mask, sid);
                continue;
            }
            if (effectiveSid != nullptr)
                AddEntry(list, entry, INHERITED_ACE, effectiveMask, effectiveSid);
            // What the folder's own children inherit keeps the creator SID and generic rights.
            if (passesOn)
                AddEntry(list, entry, passedFlags | INHERIT_ONLY_ACE, mask, sid);
        }
        if (!SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE) ||
            !SetSecurityDescriptorControl(&absolute, SE_DACL_AUTO_INHERITED, control & SE_DACL_AUTO_INHERITED))
            ThrowLastError(L"SetSecurityDescriptorDacl", L"");
    }
    return SelfRelative(&absolute);
}

StagingFolder::Descriptor StagingFolder::ReadSecurity(const String& path)
{
    const UniqueFileHandle handle = OpenForSecurity(path, READ_CONTROL);
    DWORD size = 0;
    GetKernelObjectSecurity(handle.get(), AllParts, nullptr, 0, &size);
    Descriptor descriptor(std::max<DWORD>(size, sizeof(SECURITY_DESCRIPTOR_RELATIVE)));
    if (!GetKernelObjectSecurity(handle.get(), AllParts, descriptor.data(), static_cast<DWORD>(descriptor.size()),
                                 &size))
        ThrowLastError(L"GetKernelObjectSecurity", path);
    return descriptor;
}
