#include "cluster/ClusterDatabase.h"

#include "errors/ErrorText.h"
#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "files/Links.h"
#include "platform/EnvironmentVariables.h"
#include "platform/Libraries.h"

#include <windows.h>
#include <clusapi.h>
#include <lm.h>
#include <wctype.h>

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
    // Where the backup's database is loaded to be read, below HKLM: the registry component's
    // prefix for its own temporary keys.
    const wchar_t* const CheckKey = L"TMP_ClusterBackup";
    // Far more than the cluster service writes (its database, quorum log and checkpoints), and
    // far less than a crafted folder may hold.
    const size_t MostEntries = 64;
    const ULONGLONG MostBytes = 256ull * 1024 * 1024;

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
        return folder + ClusterDatabase::BackupFolder;
    }

    // Where the cluster service keeps its database, which a restore replaces.
    String DatabaseFolder()
    {
        EnvironmentVariables variables;
        String folder;
        if (variables.ExpandBelowSystemRoot(L"Cluster", folder) != S_OK)
            Fail(L"EnvironmentVariables::Expand(%s, %s) failed: %s", L"%SystemRoot%", L"", variables.GetError().c_str());
        return folder;
    }

    // The files the cluster service writes into a backup: its database, the quorum log, the
    // backup marker and checkpoints (chk<hex>.tmp). Anything else would reach the live folder.
    bool IsServiceFile(const String& name)
    {
        if (_wcsicmp(name.c_str(), DatabaseFile) == 0 || _wcsicmp(name.c_str(), L"quolog.log") == 0 ||
            _wcsicmp(name.c_str(), L"clusbackup.dat") == 0)
            return true;
        const size_t length = name.size();
        if (length < 8 || length > 15 || _wcsnicmp(name.c_str(), L"chk", 3) != 0 ||
            _wcsicmp(name.c_str() + length - 4, L".tmp") != 0)
            return false;
        for (size_t i = 3; i < length - 4; ++i)
            if (!iswxdigit(name[i]))
                return false;
        return true;
    }

    // Every entry of the backup's Cluster folder is a plain file the service writes, of bounded
    // size, and the database is not empty. Links are refused, not followed.
    void CheckFolder(const String& directory, const String& folder)
    {
        if (Links::IsLink(folder))
            Fail(L"Refused to follow the link at %s", folder.c_str());
        WIN32_FIND_DATAW entry;
        UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
        if (!find)
            Fail(L"FindFirstFile(%s) failed: %s", folder.c_str(), ErrorText::FormatLastError().c_str());
        size_t entries = 0;
        do
        {
            const String name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const String path = folder + L"\\" + name;
            if (++entries > MostEntries)
                Fail(L"%s holds more than %d entries, more than a cluster backup holds", folder.c_str(),
                     static_cast<int>(MostEntries));
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
                Fail(L"Refused to follow the link at %s", path.c_str());
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsServiceFile(name))
                Fail(L"%s is not a file of a cluster backup", path.c_str());
            const ULONGLONG size = (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            if (size > MostBytes)
                Fail(L"%s is larger than 256 MiB, the most a cluster backup file holds", path.c_str());
            if (size == 0 && _wcsicmp(name.c_str(), DatabaseFile) == 0)
                Fail(L"%s is empty, not a cluster database", path.c_str());
        } while (FindNextFileW(find.get(), &entry));
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES)
            Fail(L"FindNextFile(%s) failed: %s", folder.c_str(), ErrorText::Format(error).c_str());
        if (entries == 0)
            Fail(NoBackup, directory.c_str());
    }

    // A hive loaded below HKLM for as long as it is read; unloaded on every way out.
    class LoadedHive
    {
    public:
        explicit LoadedHive(const wchar_t* name) : m_name(name) {}
        LoadedHive(const LoadedHive&) = delete;
        LoadedHive& operator=(const LoadedHive&) = delete;
        ~LoadedHive() { RegUnLoadKeyW(HKEY_LOCAL_MACHINE, m_name); }

    private:
        const wchar_t* m_name;
    };

    // A copy of the database in the temporary folder, removed on every way out: loading a hive
    // may write to its file and beside it, and a restore only reads the backup.
    class TemporaryCopy
    {
    public:
        explicit TemporaryCopy(const String& source)
        {
            wchar_t folder[MAX_PATH + 1];
            const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
            if (length == 0 || length > MAX_PATH)
                Fail(L"GetTempPath() failed: %s", ErrorText::FormatLastError().c_str());
            wchar_t file[MAX_PATH + 1];
            if (GetTempFileNameW(folder, L"cdb", 0, file) == 0)
                Fail(L"GetTempFileName(%s) failed: %s", folder, ErrorText::FormatLastError().c_str());
            m_path = file;
            if (!CopyFileW(source.c_str(), m_path.c_str(), FALSE))
            {
                const String error = ErrorText::FormatLastError();
                Remove();
                Fail(L"CopyFile(%s, %s) failed: %s", source.c_str(), m_path.c_str(), error.c_str());
            }
            SetFileAttributesW(m_path.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        TemporaryCopy(const TemporaryCopy&) = delete;
        TemporaryCopy& operator=(const TemporaryCopy&) = delete;
        ~TemporaryCopy() { Remove(); }
        const String& Path() const { return m_path; }

    private:
        void Remove()
        {
            DeleteFileW(m_path.c_str());
            DeleteFileW((m_path + L".LOG").c_str());
        }
        String m_path;
    };

    // The database must be a hive: loaded into a temporary key, and unloaded again.
    void CheckDatabase(const String& file)
    {
        const TemporaryCopy copy(file);
        // A key of that name left by an earlier run that was killed would make the load fail.
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, CheckKey);
        const LONG status = RegLoadKeyW(HKEY_LOCAL_MACHINE, CheckKey, copy.Path().c_str());
        if (status != ERROR_SUCCESS)
        {
            // Some platforms make the key before they read the file, and keep it when that fails.
            RegUnLoadKeyW(HKEY_LOCAL_MACHINE, CheckKey);
            Fail(L"%s is not a cluster database: it does not load as a hive: %s", file.c_str(),
                 ErrorText::Format(static_cast<DWORD>(status)).c_str());
        }
        const LoadedHive loaded(CheckKey);
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
    CheckFolder(directory, folder);
    CheckDatabase(folder + L"\\" + DatabaseFile);

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
