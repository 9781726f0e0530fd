// The lab's cluster API: this machine is a node of a running cluster whose name is
// HKLM\Cluster "ClusterName" and whose database is the files of C:\windows\cluster.
//
// Files a test reads and writes, in C:\lab\cluster:
//   calls.log        one line per call with its arguments and result
//   backup-results   codes, separated by blanks, that the next BackupClusterDatabase calls
//   restore-results  return in turn (none left: 0); a 0 does the work, another code does not
//
// The cluster service writes its backup through a share of the folder under the cluster's name,
// so BackupClusterDatabase fails with ERROR_BAD_NETPATH unless the lab's netapi32 holds that
// share (C:\lab\shares\<name>).

#include <windows.h>
#include <clusapi.h>

#include <cctype>
#include <cwctype>
#include <sstream>
#include <string>

namespace
{
    const wchar_t* const StateFolder = L"C:\\lab\\cluster";
    const wchar_t* const DatabaseFolder = L"C:\\windows\\cluster";

    struct Cluster
    {
        DWORD magic = 0x434c5553;
    };

    std::string ToUtf8(const wchar_t* text)
    {
        if (text == nullptr)
            return "null";
        const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
        std::string result(length > 0 ? static_cast<size_t>(length) : 1, '\0');
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], length, nullptr, nullptr);
        result.resize(result.size() - 1);
        return result;
    }

    std::string ReadFile(const std::wstring& path)
    {
        std::string content;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return content;
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
            content.append(buffer, read);
        CloseHandle(file);
        return content;
    }

    void WriteFile(const std::wstring& path, const std::string& content, DWORD disposition)
    {
        CreateDirectoryW(L"C:\\lab", nullptr);
        CreateDirectoryW(StateFolder, nullptr);
        // Several processes may write the log at once (ssbr's report asks the node's state too):
        // shared, and retried while another one holds it.
        HANDLE file = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 50 && file == INVALID_HANDLE_VALUE; ++attempt)
        {
            file = CreateFileW(path.c_str(), disposition == OPEN_ALWAYS ? FILE_APPEND_DATA : GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE)
                Sleep(20);
        }
        if (file == INVALID_HANDLE_VALUE)
            return;
        DWORD written = 0;
        ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(file);
    }

    DWORD Log(const std::string& line, DWORD result)
    {
        WriteFile(std::wstring(StateFolder) + L"\\calls.log", line + " -> " + std::to_string(result) + "\n",
                  OPEN_ALWAYS);
        return result;
    }

    // The first code of the named results file, which keeps the rest; 0 when none is left.
    DWORD NextResult(const wchar_t* name)
    {
        const std::wstring path = std::wstring(StateFolder) + L"\\" + name;
        std::istringstream codes(ReadFile(path));
        unsigned long code = 0;
        if (!(codes >> code))
            return ERROR_SUCCESS;
        std::string rest;
        std::getline(codes, rest, '\0');
        WriteFile(path, rest, CREATE_ALWAYS);
        return static_cast<DWORD>(code);
    }

    std::wstring ClusterName()
    {
        wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = sizeof(name);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Cluster", L"ClusterName", RRF_RT_REG_SZ, nullptr, name, &size) !=
            ERROR_SUCCESS)
            return L"LABCLUSTER";
        return name;
    }

    std::wstring Upper(std::wstring text)
    {
        for (wchar_t& c : text)
            c = static_cast<wchar_t>(std::towupper(c));
        return text;
    }

    // Whether the lab's netapi32 shares folder under name.
    bool IsShared(const std::wstring& name, const std::wstring& folder)
    {
        const std::string record = ReadFile(L"C:\\lab\\shares\\" + name);
        const std::string line = "path=" + ToUtf8(folder.c_str()) + "\n";
        std::string upperRecord(record), upperLine(line);
        for (char& c : upperRecord)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char& c : upperLine)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return upperRecord.compare(0, upperLine.size(), upperLine) == 0;
    }

    // Copies every file at the top of one folder into another; 0 or the first failure's code.
    DWORD CopyFiles(const std::wstring& from, const std::wstring& to)
    {
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : GetLastError();
        DWORD result = ERROR_SUCCESS;
        do
        {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            if (!CopyFileW((from + L"\\" + entry.cFileName).c_str(), (to + L"\\" + entry.cFileName).c_str(), FALSE))
                result = GetLastError();
        } while (result == ERROR_SUCCESS && FindNextFileW(search, &entry));
        FindClose(search);
        return result;
    }

    bool IsCluster(HCLUSTER cluster)
    {
        return cluster != nullptr && reinterpret_cast<Cluster*>(cluster)->magic == Cluster().magic;
    }
}

extern "C" DWORD WINAPI GetNodeClusterState(LPCWSTR node, DWORD* state)
{
    if (state == nullptr)
        return Log("GetNodeClusterState(" + ToUtf8(node) + ")", ERROR_INVALID_PARAMETER);
    *state = ClusterStateRunning;
    return Log("GetNodeClusterState(" + ToUtf8(node) + ")", ERROR_SUCCESS);
}

extern "C" HCLUSTER WINAPI OpenCluster(LPCWSTR name)
{
    if (name != nullptr && Upper(name) != Upper(ClusterName()))
    {
        Log("OpenCluster(" + ToUtf8(name) + ")", ERROR_CLUSTER_NODE_NOT_FOUND);
        SetLastError(ERROR_CLUSTER_NODE_NOT_FOUND);
        return nullptr;
    }
    Log("OpenCluster(" + ToUtf8(name) + ")", ERROR_SUCCESS);
    return reinterpret_cast<HCLUSTER>(new Cluster);
}

extern "C" BOOL WINAPI CloseCluster(HCLUSTER cluster)
{
    if (!IsCluster(cluster))
    {
        Log("CloseCluster()", ERROR_INVALID_HANDLE);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete reinterpret_cast<Cluster*>(cluster);
    Log("CloseCluster()", ERROR_SUCCESS);
    return TRUE;
}

// A null buffer asks for the length of the name; count then comes back without the NUL.
extern "C" DWORD WINAPI GetClusterInformation(HCLUSTER cluster, LPWSTR name, LPDWORD count, LPCLUSTERVERSIONINFO version)
{
    const std::string call = "GetClusterInformation(" + std::string(name == nullptr ? "null" : "buffer") + ", " +
                              (count == nullptr ? std::string("null") : std::to_string(*count)) + ", " +
                              (version == nullptr ? std::string("null") : std::to_string(version->dwVersionInfoSize)) +
                              ")";
    if (!IsCluster(cluster))
        return Log(call, ERROR_INVALID_HANDLE);
    if (count == nullptr || (version != nullptr && version->dwVersionInfoSize != sizeof(CLUSTERVERSIONINFO)))
        return Log(call, ERROR_INVALID_PARAMETER);
    if (version != nullptr)
    {
        version->MajorVersion = 5;
        version->MinorVersion = 2;
        version->BuildNumber = 3790;
        lstrcpyW(version->szVendorId, L"Lab cluster service");
        version->dwClusterHighestVersion = version->dwClusterLowestVersion = 0x00080ECE;
    }
    const std::wstring clusterName = ClusterName();
    const DWORD length = static_cast<DWORD>(clusterName.size());
    if (name == nullptr)
    {
        *count = length;
        return Log(call, ERROR_SUCCESS);
    }
    if (*count <= length)
    {
        *count = length;
        return Log(call, ERROR_MORE_DATA);
    }
    lstrcpyW(name, clusterName.c_str());
    *count = length;
    return Log(call, ERROR_SUCCESS);
}

extern "C" DWORD WINAPI BackupClusterDatabase(HCLUSTER cluster, LPCWSTR path)
{
    std::string call = "BackupClusterDatabase(" + ToUtf8(path) + ")";
    if (!IsCluster(cluster) || path == nullptr)
        return Log(call, ERROR_INVALID_PARAMETER);
    const bool shared = IsShared(ClusterName(), path);
    call += shared ? " shared" : " not shared";
    if (!shared)
        return Log(call, ERROR_BAD_NETPATH);
    const DWORD result = NextResult(L"backup-results");
    if (result != ERROR_SUCCESS)
        return Log(call, result);
    return Log(call, CopyFiles(DatabaseFolder, path));
}

extern "C" DWORD WINAPI RestoreClusterDatabase(LPCWSTR path, BOOL force, LPCWSTR quorumDriveLetter)
{
    const std::string call = "RestoreClusterDatabase(" + ToUtf8(path) + ", " + std::to_string(force) + ", " +
                             ToUtf8(quorumDriveLetter) + ")";
    if (path == nullptr)
        return Log(call, ERROR_INVALID_PARAMETER);
    const DWORD result = NextResult(L"restore-results");
    if (result != ERROR_SUCCESS)
        return Log(call, result);
    return Log(call, CopyFiles(path, DatabaseFolder));
}
