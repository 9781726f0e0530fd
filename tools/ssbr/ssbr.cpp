// ssbr: back up and restore the system state from the command line, through the COM server
// QmSystemStateBackupRestore.dll, the way any backup application would.

#include "SystemStateBackupRestore.h"

#include "common/ErrorText.h"
#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "common/Handles.h"
#include "common/Strings.h"
#include "module/Components.h"
#include "module/OperatingSystem.h"
#include "privileges/Privileges.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace
{
    const wchar_t* const ProgId = L"Quillmark.Harborline.SystemStateBackupRestore";

    constexpr int ExitSuccess = 0;
    constexpr int ExitFailure = 1;
    constexpr int ExitUsage = 2;

    void Write(FILE* stream, const String& text)
    {
        const std::string utf8 = Strings::ToUtf8(text);
        fwrite(utf8.data(), 1, utf8.size(), stream);
        fflush(stream);
    }

    // The component options are the module's own list.
    String UsageText()
    {
        String components = L"COMPONENTS: --all, or any of";
        size_t lineStart = 0;
        for (const Component& component : Components::All())
        {
            if (components.size() - lineStart + 1 + wcslen(component.option) > 90)
            {
                components += L"\n           ";
                lineStart = components.size() - 11;
            }
            components += L' ';
            components += component.option;
        }
        return L"usage:\n"
               L"  ssbr backup  <dir> COMPONENTS [--server NAME] [--domain D --user U --password-env VAR] [--truncate-logs]\n"
               L"  ssbr restore <dir> COMPONENTS [--server NAME] [--domain D --user U --password-env VAR]\n"
               L"                     [--force-cluster-shutdown] [--quorum-drive LETTER]\n"
               L"  ssbr status  [--server NAME]\n" +
               components +
               L"\nThe password is read from the environment variable named by --password-env, never from\n"
               L"the command line. --server defaults to this computer.\n";
    }

    struct UsageError
    {
        String message;
    };

    struct Options
    {
        String command;
        String directory;
        String server;
        String domain;
        String user;
        String passwordVariable;
        String quorumDrive;
        bool truncateLogs = false;
        bool forceClusterShutdown = false;
        // The module's components that were named, in the module's table order.
        std::vector<const Component*> components;

        void Select(const Component& component)
        {
            if (std::find(components.begin(), components.end(), &component) == components.end())
                components.push_back(&component);
        }
    };

    Options ParseCommandLine(int argc, wchar_t** argv)
    {
        if (argc < 2)
            throw UsageError{L"no command given"};
        Options options;
        options.command = argv[1];
        const bool isBackup = options.command == L"backup";
        const bool isRestore = options.command == L"restore";
        if (!isBackup && !isRestore && options.command != L"status")
            throw UsageError{Strings::Format(L"unknown command '%s'", options.command.c_str())};

        int index = 2;
        if (isBackup || isRestore)
        {
            if (index >= argc || String(argv[index]).rfind(L"--", 0) == 0)
                throw UsageError{Strings::Format(L"%s needs a target directory", options.command.c_str())};
            options.directory = argv[index++];
        }

        auto valueOf = [&](const String& option) -> String {
            if (index + 1 >= argc)
                throw UsageError{Strings::Format(L"%s needs a value", option.c_str())};
            return argv[++index];
        };

        for (; index < argc; ++index)
        {
            const String argument = argv[index];
            bool matched = false;
            if (isBackup || isRestore)
            {
                for (const Component& component : Components::All())
                    if (argument == L"--all" || argument == component.option)
                    {
                        options.Select(component);
                        matched = true;
                    }
                if (argument == L"--domain")
                    options.domain = valueOf(argument), matched = true;
                else if (argument == L"--user")
                    options.user = valueOf(argument), matched = true;
                else if (argument == L"--password-env")
                    options.passwordVariable = valueOf(argument), matched = true;
                // Also "--password=...": refused without being echoed back.
                else if (argument.rfind(L"--password", 0) == 0)
                    throw UsageError{L"a password is never taken on the command line; put it in an environment "
                                     L"variable and name that with --password-env"};
            }
            if (isBackup && argument == L"--truncate-logs")
                options.truncateLogs = matched = true;
            if (isRestore && argument == L"--force-cluster-shutdown")
                options.forceClusterShutdown = matched = true;
            if (isRestore && argument == L"--quorum-drive")
                options.quorumDrive = valueOf(argument), matched = true;
            if (argument == L"--server")
                options.server = valueOf(argument), matched = true;
            if (!matched)
                throw UsageError{Strings::Format(L"'%s' is not an option of %s", argument.c_str(), options.command.c_str())};
        }

        if ((isBackup || isRestore) && options.components.empty())
            throw UsageError{Strings::Format(L"%s needs at least one component: name them, or give --all",
                                             options.command.c_str())};
        return options;
    }

    bool IsVolumeRoot(const String& directory)
    {
        try
        {
            return !directory.empty() && Directories::IsRoot(directory);
        }
        catch (const FileSystemException&)
        {
            return false;   // no root at all: the module reports that path itself
        }
    }

    String LocalComputerName()
    {
        wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
        return GetComputerNameW(name, &size) ? String(name, size) : String();
    }

    // The module never enables these itself: the registry's save, load and replace calls need them
    // in the caller's token.
    void EnablePrivileges()
    {
        for (const wchar_t* privilege : {SE_BACKUP_NAME, SE_RESTORE_NAME})
        {
            const DWORD error = Privileges::Enable(privilege);
            if (error != ERROR_SUCCESS)
                Write(stderr, Strings::Format(L"ssbr: warning: cannot enable %s (this account does not hold it?); the "
                                              L"registry's save, load and replace calls will fail: %s\n",
                                              privilege, ErrorText::Format(error).c_str()));
        }
    }

    String ErrorOf(ISystemStateBackupRestore* object)
    {
        UniqueBstr error;
        object->GetError(error.put());
        if (!error)
            return L"(the component object gave no error text)";
        return String(error.get(), SysStringLen(error.get()));
    }

    String YesNo(bool value) { return value ? L"yes" : L"no"; }

    int RunStatus(ISystemStateBackupRestore* object, const Options& options)
    {
        int status = ExitSuccess;
        VARIANT_BOOL restoreMode = VARIANT_FALSE;
        if (SUCCEEDED(object->IsActiveDirectoryRestoreMode(&restoreMode)))
            Write(stdout, L"Directory services restore mode:   " + YesNo(restoreMode != VARIANT_FALSE) + L"\n");
        else
        {
            Write(stdout, L"Directory services restore mode:   unknown\n");
            Write(stderr, ErrorOf(object) + L"\n");
            status = ExitFailure;
        }

        UniqueBstr server(SysAllocString(options.server.c_str()));
        VARIANT_BOOL online = VARIANT_FALSE;
        BSTR serverName = server.get();
        if (SUCCEEDED(object->IsActiveDirectoryServiceOnline(&serverName, &online)))
            Write(stdout, L"Directory service online:          " + YesNo(online != VARIANT_FALSE) + L"\n");
        else
        {
            // Worth showing, but not a failure of the status report itself.
            String reason = ErrorOf(object);
            while (!reason.empty() && iswspace(reason.back()))
                reason.pop_back();
            for (size_t at = reason.find(L'\n'); at != String::npos; at = reason.find(L'\n', at + 3))
                reason.replace(at, 1, L"\n    ");
            Write(stdout, L"Directory service online:          unknown\n    " + reason + L"\n");
        }

        const OperatingSystem system;
        const OSVERSIONINFOEXW& version = system.GetVersion();
        Write(stdout, Strings::Format(L"Windows version:                   %lu.%lu (%s)\n", version.dwMajorVersion,
                                      version.dwMinorVersion, system.IsWorkstation() ? L"workstation" : L"server"));
        Write(stdout, L"Domain controller:                 " + YesNo(system.IsDomainController()) + L"\n");
        Write(stdout, L"Cluster node:                      " + YesNo(system.IsClusterNode()) + L"\n");
        Write(stdout, L"Certificate Services installed:    " +
                          YesNo(OperatingSystem::IsCertificateServicesInstalled(options.server)) + L" (on " +
                          options.server + L")\n");
        return status;
    }

    int RunBackupOrRestore(ISystemStateBackupRestore* object, const Options& options)
    {
        String password;
        if (!options.passwordVariable.empty())
        {
            const DWORD size = GetEnvironmentVariableW(options.passwordVariable.c_str(), nullptr, 0);
            if (size == 0)
            {
                Write(stderr, Strings::Format(L"ssbr: the environment variable %s (named by --password-env) is not set\n",
                                              options.passwordVariable.c_str()));
                return ExitUsage;
            }
            password.resize(size);
            password.resize(GetEnvironmentVariableW(options.passwordVariable.c_str(), &password[0], size));
        }

        EnablePrivileges();

        UniqueBstr server(SysAllocString(options.server.c_str()));
        UniqueBstr domain(SysAllocString(options.domain.c_str()));
        UniqueBstr user(SysAllocString(options.user.c_str()));
        UniqueBstr secret(SysAllocStringLen(password.data(), static_cast<UINT>(password.size())));
        UniqueBstr directory(SysAllocString(options.directory.c_str()));
        UniqueBstr quorum(SysAllocString(options.quorumDrive.c_str()));
        SecureZeroMemory(&password[0], password.size() * sizeof(wchar_t));
        BSTR fields[] = {server.get(), domain.get(), user.get(), secret.get(), directory.get(), quorum.get()};

        _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS record = {};
        record.m_bstrServerName = &fields[0];
        record.m_bstrDomainName = &fields[1];
        record.m_bstrUserName = &fields[2];
        record.m_bstrPassword = &fields[3];
        record.m_bstrDirectory = &fields[4];
        record.m_bstrQuorumDriveLetter = &fields[5];
        auto flag = [](bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; };
        record.m_bTruncateLogs = flag(options.truncateLogs);
        for (const Component* component : options.components)
            record.*component->flag = VARIANT_TRUE;
        record.m_bForceShutdownOfClusters = flag(options.forceClusterShutdown);

        const bool isBackup = options.command == L"backup";
        const auto started = std::chrono::steady_clock::now();
        const HRESULT hr = isBackup ? object->Backup(&record) : object->Restore(&record);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (FAILED(hr))
        {
            // The text usually ends with the system's own line end already.
            const String error = ErrorOf(object);
            Write(stderr, error.empty() || error.back() != L'\n' ? error + L"\n" : error);
            return ExitFailure;
        }

        String names;
        for (const Component& component : Components::All())
            if (record.*component.flag != VARIANT_FALSE)
                names += (names.empty() ? L"" : L", ") + String(component.name);
        Write(stdout, Strings::Format(L"%s of %s %s %s completed in %.2f s\n", isBackup ? L"Backup" : L"Restore",
                                      names.c_str(), isBackup ? L"to" : L"from", options.directory.c_str(), seconds));
        return ExitSuccess;
    }
}

int wmain(int argc, wchar_t** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    Options options;
    try
    {
        if (argc == 2 && (String(argv[1]) == L"--help" || String(argv[1]) == L"-h"))
        {
            Write(stdout, UsageText());
            return ExitSuccess;
        }
        options = ParseCommandLine(argc, argv);
    }
    catch (const UsageError& error)
    {
        Write(stderr, L"ssbr: " + error.message + L"\n");
        Write(stderr, UsageText());
        return ExitUsage;
    }
    if (options.server.empty())
        options.server = LocalComputerName();
    if (!options.directory.empty())
        // The module takes the target as a full path; a relative one would be read as a server's name.
        options.directory = Paths::GetFullPath(options.directory);
    if (options.command == L"backup" && IsVolumeRoot(options.directory))
    {
        // A backup empties its target first: a root would cost the whole volume or share.
        Write(stderr, Strings::Format(L"ssbr: a backup empties its target directory first; '%s' is the root of a "
                                      L"volume or share, give a folder below it\n", options.directory.c_str()));
        return ExitUsage;
    }

    // Apartment of this thread for the life of the program.
    ComApartment apartment(COINIT_MULTITHREADED);
    if (FAILED(apartment.Result()))
    {
        Write(stderr, L"ssbr: CoInitializeEx failed: " + ErrorText::Format(static_cast<DWORD>(apartment.Result())) + L"\n");
        return ExitFailure;
    }

    CLSID classId = {};
    HRESULT hr = CLSIDFromProgID(ProgId, &classId);
    if (FAILED(hr))
    {
        Write(stderr, Strings::Format(L"ssbr: %s is not registered (run regsvr32 QmSystemStateBackupRestore.dll): %s\n",
                                      ProgId, ErrorText::Format(static_cast<DWORD>(hr)).c_str()));
        return ExitFailure;
    }
    ComPtr<ISystemStateBackupRestore> object;
    hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_ISystemStateBackupRestore, object.put_void());
    if (FAILED(hr))
    {
        Write(stderr, Strings::Format(L"ssbr: cannot create %s: %s\n", ProgId,
                                      ErrorText::Format(static_cast<DWORD>(hr)).c_str()));
        return ExitFailure;
    }

    if (options.command == L"status")
        return RunStatus(object.get(), options);
    return RunBackupOrRestore(object.get(), options);
}
