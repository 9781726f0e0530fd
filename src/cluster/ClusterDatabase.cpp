#include "cluster/ClusterDatabase.h"

#include "common/ErrorText.h"
#include "common/FileSystem.h"
#include "common/Handles.h"

#include <windows.h>
#include <clusapi.h>
#include <lm.h>

namespace
{
    using OpenClusterFunction = HCLUSTER(WINAPI*)(LPCWSTR);
    using GetClusterInformationFunction = DWORD(WINAPI*)(HCLUSTER, LPWSTR, LPDWORD, LPCLUSTERVERSIONINFO);
    using BackupClusterDatabaseFunction = DWORD(WINAPI*)(HCLUSTER, LPCWSTR);
    using RestoreClusterDatabaseFunction = DWORD(WINAPI*)(LPCWSTR, BOOL, LPCWSTR);
    using CloseClusterFunction = BOOL(WINAPI*)(HCLUSTER);
    using NetShareAddFunction = NET_API_STATUS(WINAPI*)(LMSTR, DWORD, LPBYTE, LPDWORD);
    using NetShareDelFunction = NET_API_STATUS(WINAPI*)(LMSTR, LMSTR, DWORD);

    static_assert(sizeof(CLUSTERVERSIONINFO) == 284, "cluster version record");

    const wchar_t* const NoBackup = L"No cluster backup in %s";
    const wchar_t* const InsideRestoredFolder = L"The backup folder %s lies in %s, which the restore writes";
    // The file every backup of the cluster service holds.
    const wchar_t* const DatabaseFile = L"CLUSDB";

    const wchar_t* const NodesActiveText =
        L"The operation failed because other cluster nodes are currently active. The Cluster service must be "
        L"shut down on all other nodes in order for this operation to succeed.";
    const wchar_t* const QuorumLayoutText =
        L"The restore routine cannot find a quorum resource with the same partition layout as the quorum "
        L"resource described in the backup.  The existing quorum resource must have a layout (number of "
        L"partitions and offsets to each partition) identical to the layout stored in the backup.";

    template <typename... Arguments>
    [[noreturn]] void Fail(const wchar_t* format, Arguments... arguments)
    {
        throw ClusterDatabaseException(Strings::Format(format, arguments...));
    }

    UniqueLibrary Load(const wchar_t* name)
    {
        UniqueLibrary library(Libraries::LoadFromSystemFolder(name));
        if (!library)
            Fail(L"LoadLibrary(%s) failed: %s", name, ErrorText::FormatLastError().c_str());
        return library;
    }

    template <typename Function>
    Function Export(const UniqueLibrary& library, const char* name)
    {
        const Function function = GetProc<Function>(library.get(), name);
        if (function == nullptr)
            Fail(L"GetProcAddress(%S) failed: %s", name, ErrorText::FormatLastError().c_str());
        return function;
    }

    String ClusterFolder(const String& directory)
    {
        String folder = directory;
        Directories::AppendBackslash(folder);
        return folder + L"Cluster";
    }

    // Where the cluster service keeps its database, which a restore replaces.
    String DatabaseFolder()
    {
        const String source = L"%SystemRoot%";
        EnvironmentVariables variables;
        String root;
        if (variables.Expand(source, root) != S_OK)
            Fail(L"EnvironmentVariables::Expand(%s, %s) failed: %s", source.c_str(), root.c_str(),
                 variables.GetError().c_str());
        return Directories::RemoveBackslash(root) + L"\\Cluster";
    }

    // The share name is printed through a narrow conversion.
    std::string ToAnsi(const wchar_t* text)
    {
        const int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
        if (length <= 1)
            return std::string();
        std::string result(static_cast<size_t>(length), '\0');
        WideCharToMultiByte(CP_ACP, 0, text, -1, &result[0], length, nullptr, nullptr);
        result.resize(static_cast<size_t>(length - 1));
        return result;
    }
}

void ClusterDatabase::Backup(const String& directory)
{
    // Declared before the handle: the handle's owner closes it through this library.
    const UniqueLibrary clusapi = Load(L"Clusapi.dll");
    const auto openCluster = Export<OpenClusterFunction>(clusapi, "OpenCluster");
    const auto getClusterInformation = Export<GetClusterInformationFunction>(clusapi, "GetClusterInformation");
    const auto backupClusterDatabase = Export<BackupClusterDatabaseFunction>(clusapi, "BackupClusterDatabase");
    const auto closeCluster = Export<CloseClusterFunction>(clusapi, "CloseCluster");

    UniqueCluster cluster(openCluster(nullptr));
    if (!cluster)
        Fail(L"OpenCluster() failed: %s", ErrorText::FormatLastError().c_str());

    CLUSTERVERSIONINFO version;
    ZeroMemory(&version, sizeof(version));
    version.dwVersionInfoSize = sizeof(version);
    DWORD count = 0;
    DWORD result = getClusterInformation(cluster.get(), nullptr, &count, &version);
    if (result != ERROR_SUCCESS)
        Fail(L"GetClusterInformation() failed: %s", ErrorText::Format(result).c_str());
    ++count;
    UniqueLocalMemory nameMemory(LocalAlloc(LPTR, static_cast<SIZE_T>(count) * sizeof(wchar_t)));
    if (!nameMemory)
        Fail(L"LocalAlloc() failed: %s", ErrorText::FormatLastError().c_str());
    const auto name = static_cast<wchar_t*>(nameMemory.get());
    result = getClusterInformation(cluster.get(), name, &count, &version);
    if (result != ERROR_SUCCESS)
        Fail(L"GetClusterInformation() failed: %s", ErrorText::Format(result).c_str());

    const String folder = ClusterFolder(directory);
    if (!Directories::Create(folder))
        Fail(L"Directories::Create(%s) failed: %s", folder.c_str(), ErrorText::FormatLastError().c_str());

    const UniqueLibrary netapi = Load(L"NETAPI32.dll");
    const auto netShareAdd = Export<NetShareAddFunction>(netapi, "NetShareAdd");
    const auto netShareDel = Export<NetShareDelFunction>(netapi, "NetShareDel");
    SHARE_INFO_2 share = {};
    share.shi2_netname = name;
    share.shi2_type = STYPE_DISKTREE;
    share.shi2_max_uses = SHI_USES_UNLIMITED;
    share.shi2_path = const_cast<wchar_t*>(folder.c_str());
    DWORD badParameter = 0;
    result = netShareAdd(nullptr, 2, reinterpret_cast<LPBYTE>(&share), &badParameter);
    if (result != NERR_Success)
        Fail(L"NetShareAdd(%S, %s) failed: %s", ToAnsi(name).c_str(), folder.c_str(), ErrorText::Format(result).c_str());
    // Open to everyone with default permissions: it goes on every way out, failures included.
    UniqueNetShare shareScope(netShareDel, name);

    result = backupClusterDatabase(cluster.get(), folder.c_str());
    if (result != ERROR_SUCCESS)
        Fail(L"BkClusterDB(%s) failed: %s", folder.c_str(), ErrorText::Format(result).c_str());

    result = shareScope.reset();
    if (result != NERR_Success)
        Fail(L"NetShareDel(%s) failed: %s", name, ErrorText::Format(result).c_str());

    // A failed close is not tried again.
    if (!closeCluster(cluster.release()))
        Fail(L"CloseCluster() failed: %s", ErrorText::FormatLastError().c_str());
}

void ClusterDatabase::Restore(const String& directory, bool forceShutdown, const String& quorumDriveLetter)
{
    // Both checks come before the cluster library is asked anything: a forced restore may stop
    // the service on every other node.
    const String database = DatabaseFolder();
    if (Paths::IsSameOrBelow(database, directory))
        Fail(InsideRestoredFolder, directory.c_str(), database.c_str());
    const String folder = ClusterFolder(directory);
    bool isDirectory = false;
    if (!Paths::GetAttributes(folder + L"\\" + DatabaseFile, isDirectory) || isDirectory)
        Fail(NoBackup, directory.c_str());

    const UniqueLibrary clusapi = Load(L"Clusapi.dll");
    const auto restoreClusterDatabase = Export<RestoreClusterDatabaseFunction>(clusapi, "RestoreClusterDatabase");

    DWORD result = restoreClusterDatabase(folder.c_str(), FALSE, nullptr);
    if (result == ERROR_CLUSTER_NODE_UP)
    {
        if (!forceShutdown)
            Fail(L"%s", NodesActiveText);
        result = restoreClusterDatabase(folder.c_str(), TRUE, nullptr);
    }
    if (result == ERROR_QUORUM_DISK_NOT_FOUND)
    {
        if (quorumDriveLetter.empty())
            Fail(L"%s", QuorumLayoutText);
        // Taking another quorum disk means restoring against the running cluster anyway.
        result = restoreClusterDatabase(folder.c_str(), TRUE, quorumDriveLetter.c_str());
    }
    if (result != ERROR_SUCCESS)
        Fail(L"RestoreClusterDB(%s, %s) failed: %s", folder.c_str(), quorumDriveLetter.c_str(),
             ErrorText::Format(result).c_str());
}
