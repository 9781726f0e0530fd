#include "files/Links.h"

#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>

namespace
{
    // The header of a reparse point's data and the mount-point (junction) part that follows it.
    // Offsets and lengths are in bytes, from the start of the path buffer.
    struct MountPointHeader
    {
        DWORD tag;
        WORD dataLength;
        WORD reserved;
        WORD substituteNameOffset;
        WORD substituteNameLength;
        WORD printNameOffset;
        WORD printNameLength;
    };
    static_assert(sizeof(MountPointHeader) == 16, "mount-point reparse header");
    // Tag and the two lengths that precede what dataLength counts.
    const size_t ReparseHeaderSize = 8;
    const size_t MaximumReparseData = 16 * 1024;

    struct IoStatusBlock
    {
        union
        {
            LONG status;
            void* pointer;
        };
        ULONG_PTR information;
    };
    using NtQueryInformationFileFunction = LONG(WINAPI*)(HANDLE, IoStatusBlock*, void*, ULONG, int);
    const int FileNameInformation = 9;

    // The path of the open file or folder on its volume ("\x\y"), as the file system names it.
    bool GetNameOnVolume(HANDLE handle, String& name)
    {
        const auto query = GetProc<NtQueryInformationFileFunction>(GetModuleHandleW(L"ntdll.dll"),
                                                                   "NtQueryInformationFile");
        if (query == nullptr)
        {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return false;
        }
        // A length, then the name: room for the longest path the system takes.
        std::vector<BYTE> buffer(sizeof(ULONG) + 32768 * sizeof(wchar_t));
        IoStatusBlock status = {};
        if (query(handle, &status, buffer.data(), static_cast<ULONG>(buffer.size()), FileNameInformation) < 0)
        {
            SetLastError(ERROR_INVALID_FUNCTION);
            return false;
        }
        ULONG length;
        std::memcpy(&length, buffer.data(), sizeof(length));
        length = std::min<ULONG>(length, static_cast<ULONG>(buffer.size() - sizeof(ULONG)));
        name.assign(reinterpret_cast<const wchar_t*>(buffer.data() + sizeof(ULONG)), length / sizeof(wchar_t));
        return true;
    }
}

namespace Links
{
    bool IsLink(const String& path)
    {
        const DWORD attributes = GetFileAttributesW(Paths::ToLongPath(Directories::RemoveBackslash(path)).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }

    String ResolveFolder(const String& path)
    {
        const String link = Paths::GetFullPath(Paths::FromLongPath(Directories::RemoveBackslash(path)));
        // Followed: the handle is the folder the link leads to.
        const UniqueFileHandle folder(CreateFileW(Paths::ToLongPath(link).c_str(), FILE_READ_ATTRIBUTES,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        String name;
        if (!folder || !GetNameOnVolume(folder.get(), name))
            return String();
        // The name holds no volume; the folder counts as found only if the link's drive has it.
        const size_t colon = link.find(L':');
        if (colon == String::npos || name.empty() || name[0] != L'\\')
        {
            SetLastError(ERROR_NOT_SAME_DEVICE);
            return String();
        }
        const String target = link.substr(0, colon + 1) + name;
        if (!Paths::IsSameObject(target, link))
        {
            SetLastError(ERROR_NOT_SAME_DEVICE);
            return String();
        }
        return target;
    }

    std::vector<BYTE> JunctionData(const String& target)
    {
        const String printName = Paths::FromLongPath(target);
        const String substituteName = L"\\??\\" + printName;
        const size_t substituteBytes = substituteName.size() * sizeof(wchar_t);
        const size_t printBytes = printName.size() * sizeof(wchar_t);
        // Both names end with a NUL that the lengths leave out.
        const size_t pathBytes = substituteBytes + sizeof(wchar_t) + printBytes + sizeof(wchar_t);
        const size_t total = sizeof(MountPointHeader) + pathBytes;
        if (total > MaximumReparseData)
            return {};
        MountPointHeader header = {};
        header.tag = IO_REPARSE_TAG_MOUNT_POINT;
        header.dataLength = static_cast<WORD>(total - ReparseHeaderSize);
        header.substituteNameOffset = 0;
        header.substituteNameLength = static_cast<WORD>(substituteBytes);
        header.printNameOffset = static_cast<WORD>(substituteBytes + sizeof(wchar_t));
        header.printNameLength = static_cast<WORD>(printBytes);
        std::vector<BYTE> data(total, 0);
        std::memcpy(data.data(), &header, sizeof(header));
        std::memcpy(data.data() + sizeof(header), substituteName.c_str(), substituteBytes);
        std::memcpy(data.data() + sizeof(header) + header.printNameOffset, printName.c_str(), printBytes);
        return data;
    }

    bool CreateFolderLink(const String& path, const String& target)
    {
        std::vector<BYTE> data = JunctionData(target);
        if (data.empty())
        {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        const String link = Paths::ToLongPath(Directories::RemoveBackslash(path));
        if (!CreateDirectoryW(link.c_str(), nullptr))
            return false;
        UniqueFileHandle folder(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        DWORD returned = 0;
        if (folder && DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, data.data(),
                                      static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr))
            return true;
        const DWORD error = GetLastError();
        folder.reset();
        RemoveDirectoryW(link.c_str());
        SetLastError(error);
        return false;
    }
}
