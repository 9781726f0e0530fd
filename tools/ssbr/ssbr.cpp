// ssbr: back up and restore the system state from the command line, through the COM server
// QmSystemStateBackupRestore.dll, the way any backup application would; and tell what a backup
// holds and whether it is whole.

#include "SystemStateBackupRestore.h"

#include "Catalog.h"
#include "CommandLine.h"
#include "JobReport.h"
#include "Json.h"
#include "Progress.h"

#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "text/Secret.h"
#include "text/Strings.h"
#include "module/BackupTarget.h"
#include "platform/OperatingSystem.h"
#include "privileges/Privileges.h"
#include "vss/ComSecurity.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

namespace
{
    const wchar_t* const ProgId = L"Quillmark.Harborline.SystemStateBackupRestore";
    const wchar_t* const ModuleFile = L"QmSystemStateBackupRestore.dll";

    void Write(FILE* stream, const String& text)
    {
        const std::string utf8 = Strings::ToUtf8(text);
        fwrite(utf8.data(), 1, utf8.size(), stream);
        fflush(stream);
    }

    void WriteJson(const JsonValue& document)
    {
        const std::string text = document.Write();
        fwrite(text.data(), 1, text.size(), stdout);
        fflush(stdout);
    }

    // "--registry" -> "registry": the component's stable name in JSON.
    String IdOf(const Component& component)
    {
        return component.option + 2;
    }

    const Component* ComponentById(const String& id)
    {
        for (const Component& component : Components::All())
            if (id == IdOf(component))
                return &component;
        return nullptr;
    }

    String YesNo(bool value) { return value ? L"yes" : L"no"; }

    String Size(uint64_t bytes)
    {
        if (bytes < 1024 * 1024)
            return Strings::Format(L"%.1f KiB", bytes / 1024.0);
        if (bytes < 1024ull * 1024 * 1024)
            return Strings::Format(L"%.1f MiB", bytes / 1048576.0);
        return Strings::Format(L"%.2f GiB", bytes / 1073741824.0);
    }

    String LocalComputerName()
    {
        wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
        return GetComputerNameW(name, &size) ? String(name, size) : String();
    }

    String UtcNow()
    {
        SYSTEMTIME now;
        GetSystemTime(&now);
        return Strings::Format(L"%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                               now.wMinute, now.wSecond);
    }

    // The module's file version, from the version resource of the copy this process loaded (read
    // in place: no version library needed).
    String ModuleVersion()
    {
        const HMODULE module = GetModuleHandleW(ModuleFile);
        const HRSRC resource = module != nullptr ? FindResourceW(module, MAKEINTRESOURCEW(1), RT_VERSION) : nullptr;
        const HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
        const auto* data = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
        if (data == nullptr)
            return String();
        const DWORD size = SizeofResource(module, resource);
        // The fixed part follows the block's key, aligned; its signature marks it.
        for (DWORD at = 0; at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4)
        {
            VS_FIXEDFILEINFO fixed;
            memcpy(&fixed, data + at, sizeof fixed);
            if (fixed.dwSignature == 0xFEEF04BD)
                return Strings::Format(L"%u.%u.%u.%u", HIWORD(fixed.dwFileVersionMS), LOWORD(fixed.dwFileVersionMS),
                                       HIWORD(fixed.dwFileVersionLS), LOWORD(fixed.dwFileVersionLS));
        }
        return String();
    }

    // What ssbr knows of the machine before a call: the same questions the module's gates ask.
    struct Machine final : ComponentPlatform
    {
        String name;
        OSVERSIONINFOEXW version = {};
        bool workstation = false;
        bool domainController = false;
        bool clusterNode = false;
        bool certificateServices = false;
        std::optional<bool> restoreMode;   // unknown when the object could not say
        String restoreModeError;

        Machine(ISystemStateBackupRestore* object, const String& server) : name(LocalComputerName())
        {
            const OperatingSystem system;
            version = system.GetVersion();
            workstation = system.IsWorkstation();
            domainController = system.IsDomainController();
            clusterNode = system.IsClusterNode();
            certificateServices = OperatingSystem::IsCertificateServicesInstalled(server);
            VARIANT_BOOL answer = VARIANT_FALSE;
            if (SUCCEEDED(object->IsActiveDirectoryRestoreMode(&answer)))
                restoreMode = answer != VARIANT_FALSE;
        }

        String VersionText() const { return Strings::Format(L"%lu.%lu", version.dwMajorVersion, version.dwMinorVersion); }

        JsonValue Windows() const
        {
            JsonValue windows = JsonValue::Object();
            windows.Set(L"version", VersionText());
            windows.Set(L"build", static_cast<int>(version.dwBuildNumber));
            windows.Set(L"servicePack", String(version.szCSDVersion));
            windows.Set(L"productType", workstation ? L"workstation" : L"server");
            return windows;
        }

        JsonValue Roles() const
        {
            JsonValue roles = JsonValue::Object();
            roles.Set(L"domainController", domainController);
            roles.Set(L"clusterNode", clusterNode);
            roles.Set(L"certificateServices", certificateServices);
            roles.Set(L"restoreMode", restoreMode ? JsonValue(*restoreMode) : JsonValue());
            return roles;
        }

        bool IsDomainController() override { return domainController; }
        bool IsClusterNode() override { return clusterNode; }
        bool IsCertificateServicesInstalled(const String&) override { return certificateServices; }
        bool QueryRestoreMode(bool& mode) override
        {
            mode = restoreMode.value_or(false);
            return restoreMode.has_value();
        }

        // Why the gate would skip the component; empty when it lets it run.
        String SkipReason(ComponentGate gate, const String& server)
        {
            // Unknown: the module stops with its own text before it gets there.
            if (Components::Passes(gate, *this, server, restoreMode.value_or(true)))
                return String();
            return Strings::Format(Components::SkipReason(gate), server.c_str());
        }
    };

    enum class Outcome { Done, Staged, Skipped, Failed };

    const wchar_t* OutcomeName(Outcome outcome)
    {
        switch (outcome)
        {
        case Outcome::Done: return L"done";
        case Outcome::Staged: return L"staged";
        case Outcome::Skipped: return L"skipped";
        case Outcome::Failed: return L"failed";
        }
        return L"";
    }

    struct Step
    {
        const Component* component;
        bool named;   // asked for by name, not only through --all
        Outcome outcome = Outcome::Done;
        String reason;
        String error;   // the module's text, when it failed
        uint64_t files = 0;
        uint64_t bytes = 0;
    };

    // Components asked for, in the module's table order, each with what the machine makes of it.
    std::vector<Step> PlanSteps(const Options& options, const std::vector<const Component*>& allOf, Machine& machine,
                                bool isBackup)
    {
        std::vector<Step> steps;
        for (const Component& component : Components::All())
        {
            const bool named = std::find(options.named.begin(), options.named.end(), &component) != options.named.end();
            const bool viaAll = std::find(allOf.begin(), allOf.end(), &component) != allOf.end();
            if (!named && !viaAll)
                continue;
            Step step{&component, named, Outcome::Done, String(), String(), 0, 0};
            step.reason = machine.SkipReason(isBackup ? component.backupGate : component.restoreGate, options.server);
            if (!step.reason.empty())
                step.outcome = Outcome::Skipped;
            else if (!isBackup && component.restoreStaged)
                step.outcome = Outcome::Staged;
            steps.push_back(step);
        }
        return steps;
    }

    String OutcomeLine(const Step& step)
    {
        String line = Strings::Format(L"  %-22s %s", (String(step.component->name) + L":").c_str(),
                                      OutcomeName(step.outcome));
        if (step.outcome == Outcome::Staged)
            line += L", takes effect at the next start";
        if (step.outcome == Outcome::Skipped)
            line += L": " + step.reason;
        return line + L"\n";
    }

    // The module never enables these itself: the registry's save, load and replace calls need them
    // in the caller's token.
    void EnablePrivileges(bool warn)
    {
        for (const wchar_t* privilege : {SE_BACKUP_NAME, SE_RESTORE_NAME})
        {
            const DWORD error = Privileges::Enable(privilege);
            if (error != ERROR_SUCCESS && warn)
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

    bool IsTopLevelFile(const String& directory, const wchar_t* name)
    {
        bool isDirectory = false;
        return Paths::GetAttributes(Catalog::FullPath(directory, name), isDirectory) && !isDirectory;
    }

    // What shows that a component's backup is there: its manifest, or the folder of a backup
    // that writes none ("Cluster"), as the table lists them.
    String MarkText(const Component& component)
    {
        const TopLevelName& mark = component.topLevelNames[0];
        return mark.kind == TopLevelKind::MarkFolder ? String(mark.name) + L" folder" : String(mark.name);
    }

    // backup.json of the backup; null when it is missing or unreadable.
    JsonValue ReadInfo(const String& directory)
    {
        UniqueFileHandle file(CreateFileW(Catalog::FullPath(directory, Catalog::InfoFile).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return JsonValue();
        std::string text;
        char block[65536];
        DWORD read = 0;
        while (ReadFile(file.get(), block, sizeof block, &read, nullptr) && read > 0)
            text.append(block, read);
        try
        {
            return JsonValue::Parse(text);
        }
        catch (const JsonException&)
        {
            return JsonValue();
        }
    }

    // The components the backup holds: those its catalog records as done, or without a catalog,
    // those whose marks are there.
    std::vector<const Component*> HeldComponents(const String& directory, const JsonValue& info)
    {
        std::vector<const Component*> held;
        if (info.GetKind() == JsonValue::Kind::Object)
        {
            for (const JsonValue& entry : info[L"components"].Items())
                if (entry[L"outcome"].AsText() == L"done")
                    if (const Component* component = ComponentById(entry[L"id"].AsText()))
                        held.push_back(component);
            return held;
        }
        for (const Component& component : Components::All())
            if (BackupTarget::HasMark(component, directory))
                held.push_back(&component);
        return held;
    }

    // --- status ----------------------------------------------------------------------------------

    int RunStatus(ISystemStateBackupRestore* object, const Options& options)
    {
        const Machine machine(object, options.server);
        if (!machine.restoreMode)
            Write(stderr, ErrorOf(object) + L"\n");

        UniqueBstr server(SysAllocString(options.server.c_str()));
        VARIANT_BOOL online = VARIANT_FALSE;
        BSTR serverName = server.get();
        std::optional<bool> isOnline;
        String onlineError;
        if (SUCCEEDED(object->IsActiveDirectoryServiceOnline(&serverName, &online)))
            isOnline = online != VARIANT_FALSE;
        else
        {
            onlineError = ErrorOf(object);
            while (!onlineError.empty() && iswspace(onlineError.back()))
                onlineError.pop_back();
        }
        const int status = machine.restoreMode ? Exit::Success : Exit::Failure;

        if (options.json)
        {
            JsonValue document = JsonValue::Object();
            document.Set(L"machine", machine.name);
            document.Set(L"server", options.server);
            document.Set(L"windows", machine.Windows());
            document.Set(L"roles", machine.Roles());
            document.Set(L"directoryServiceOnline", isOnline ? JsonValue(*isOnline) : JsonValue());
            document.Set(L"directoryServiceError", onlineError.empty() ? JsonValue() : JsonValue(onlineError));
            WriteJson(document);
            return status;
        }

        auto known = [](const std::optional<bool>& value) { return value ? YesNo(*value) : String(L"unknown"); };
        Write(stdout, L"Directory services restore mode:   " + known(machine.restoreMode) + L"\n");
        String reason = onlineError;
        for (size_t at = reason.find(L'\n'); at != String::npos; at = reason.find(L'\n', at + 3))
            reason.replace(at, 1, L"\n    ");
        Write(stdout, L"Directory service online:          " + known(isOnline) +
                          (isOnline ? String() : L"\n    " + reason) + L"\n");
        Write(stdout, Strings::Format(L"Windows version:                   %s (%s)\n", machine.VersionText().c_str(),
                                      machine.workstation ? L"workstation" : L"server"));
        Write(stdout, L"Domain controller:                 " + YesNo(machine.domainController) + L"\n");
        Write(stdout, L"Cluster node:                      " + YesNo(machine.clusterNode) + L"\n");
        Write(stdout, L"Certificate Services installed:    " + YesNo(machine.certificateServices) + L" (on " +
                          options.server + L")\n");
        return status;
    }

    // --- verify ----------------------------------------------------------------------------------

    JsonValue DamageJson(const String& directory, const Catalog::Damage& damage)
    {
        auto list = [](const StringList& paths) {
            JsonValue array = JsonValue::Array();
            for (const String& path : paths)
                array.Add(path);
            return array;
        };
        JsonValue document = JsonValue::Object();
        document.Set(L"directory", directory);
        document.Set(L"whole", damage.IsWhole());
        document.Set(L"catalogMissing", damage.catalogMissing);
        document.Set(L"missing", list(damage.missing));
        document.Set(L"changed", list(damage.changed));
        document.Set(L"extra", list(damage.extra));
        document.Set(L"byproducts", list(damage.byproducts));
        document.Set(L"checkedFiles", damage.checkedFiles);
        document.Set(L"checkedBytes", damage.checkedBytes);
        return document;
    }

    // One line per damaged file, then the verdict.
    String DamageText(const String& directory, const Catalog::Damage& damage)
    {
        String text;
        if (damage.catalogMissing)
            text += Strings::Format(L"catalog missing: %s (a backup that failed, or not one of ssbr's)\n",
                                    Catalog::SumsFile);
        for (const String& path : damage.missing)
            text += L"missing: " + path + L"\n";
        for (const String& path : damage.changed)
            text += L"changed: " + path + L"\n";
        for (const String& path : damage.extra)
            text += L"extra: " + path + L"\n";
        if (damage.IsWhole())
            return text + Strings::Format(L"The backup in %s is whole: %I64u files, %s checked.\n", directory.c_str(),
                                          damage.checkedFiles, Size(damage.checkedBytes).c_str());
        return text + Strings::Format(L"The backup in %s is damaged: %u missing, %u changed, %u extra%s.\n",
                                      directory.c_str(), static_cast<unsigned>(damage.missing.size()),
                                      static_cast<unsigned>(damage.changed.size()),
                                      static_cast<unsigned>(damage.extra.size()),
                                      damage.catalogMissing ? L", no catalog" : L"");
    }

    String ByproductsText(const Catalog::Damage& damage)
    {
        String text;
        for (const String& path : damage.byproducts)
            text += L"restore by-product (not damage): " + path + L"\n";
        return text;
    }

    int RunVerify(const Options& options)
    {
        if (!Directories::Exists(options.directory))
        {
            Write(stderr, L"ssbr: no backup directory " + options.directory + L"\n");
            return Exit::Failure;
        }
        EnablePrivileges(false);
        const Catalog::Damage damage = Catalog::Verify(options.directory);
        if (options.json)
            WriteJson(DamageJson(options.directory, damage));
        else
            Write(stdout, ByproductsText(damage) + DamageText(options.directory, damage));
        return damage.IsWhole() ? Exit::Success : Exit::Failure;
    }

    // --- list ------------------------------------------------------------------------------------

    int RunList(const Options& options)
    {
        if (!Directories::Exists(options.directory))
        {
            Write(stderr, L"ssbr: no backup directory " + options.directory + L"\n");
            return Exit::Failure;
        }
        const JsonValue info = ReadInfo(options.directory);
        const bool hasInfo = info.GetKind() == JsonValue::Kind::Object;
        const bool hasSums = IsTopLevelFile(options.directory, Catalog::SumsFile);
        const std::vector<Catalog::File> files = Catalog::ListFiles(options.directory);
        const Component* looseOwner = Catalog::LooseFilesOwner(options.directory);

        // Files and bytes per component as they are now; outcomes as the catalog recorded them.
        std::map<const Component*, std::pair<uint64_t, uint64_t>> counts;
        for (const Catalog::File& file : files)
            if (const Component* component = Catalog::ComponentOf(file.path, looseOwner))
            {
                counts[component].first += 1;
                counts[component].second += file.size;
            }
        const std::vector<const Component*> held = HeldComponents(options.directory, info);

        JsonValue components = JsonValue::Array();
        for (const Component& component : Components::All())
        {
            JsonValue recorded;
            for (const JsonValue& entry : info[L"components"].Items())
                if (entry[L"id"].AsText() == IdOf(component))
                    recorded = entry;
            const bool isHeld = std::find(held.begin(), held.end(), &component) != held.end();
            if (recorded.IsNull() && !isHeld && counts.count(&component) == 0)
                continue;
            JsonValue entry = JsonValue::Object();
            entry.Set(L"id", IdOf(component));
            entry.Set(L"name", component.name);
            entry.Set(L"held", isHeld);
            entry.Set(L"outcome", recorded[L"outcome"]);
            entry.Set(L"reason", recorded[L"reason"]);
            entry.Set(L"files", counts[&component].first);
            entry.Set(L"bytes", counts[&component].second);
            components.Add(entry);
        }

        JsonValue fileList = JsonValue::Array();
        uint64_t totalBytes = 0;
        for (const Catalog::File& file : files)
        {
            JsonValue entry = JsonValue::Object();
            entry.Set(L"path", file.path);
            entry.Set(L"size", file.size);
            const Component* component = Catalog::ComponentOf(file.path, looseOwner);
            entry.Set(L"component", component != nullptr ? JsonValue(IdOf(*component)) : JsonValue());
            const String live = Catalog::LivePathOf(file.path);
            entry.Set(L"livePath", live.empty() ? JsonValue() : JsonValue(live));
            fileList.Add(entry);
            totalBytes += file.size;
        }

        if (options.json)
        {
            JsonValue document = JsonValue::Object();
            document.Set(L"directory", options.directory);
            JsonValue catalog = JsonValue::Object();
            catalog.Set(L"sums", hasSums);
            catalog.Set(L"info", hasInfo);
            document.Set(L"catalog", catalog);
            for (const wchar_t* field : {L"machine", L"windows", L"roles", L"time", L"durationSeconds", L"moduleVersion"})
                document.Set(field, info[field]);
            document.Set(L"components", components);
            document.Set(L"files", fileList);
            document.Set(L"totalFiles", static_cast<uint64_t>(files.size()));
            document.Set(L"totalBytes", totalBytes);
            WriteJson(document);
            return Exit::Success;
        }

        String text = L"Backup in " + options.directory + L"\n";
        if (hasInfo)
        {
            const JsonValue& windows = info[L"windows"];
            text += Strings::Format(L"  taken %s on %s (Windows %s %s) in %.2f s, module %s\n",
                                    info[L"time"].AsText().c_str(), info[L"machine"].AsText().c_str(),
                                    windows[L"version"].AsText().c_str(), windows[L"productType"].AsText().c_str(),
                                    info[L"durationSeconds"].AsNumber(), info[L"moduleVersion"].AsText(L"unknown").c_str());
        }
        if (!hasInfo || !hasSums)
            text += L"  no catalog (SHA256SUMS, backup.json): a backup that failed, or not one of ssbr's\n";
        text += L"Components:\n";
        for (const JsonValue& entry : components.Items())
        {
            String outcome = entry[L"outcome"].AsText(entry[L"held"].AsBoolean() ? L"held" : L"not recorded");
            if (!entry[L"reason"].AsText().empty())
                outcome += L": " + entry[L"reason"].AsText();
            text += Strings::Format(L"  %-22s %6.0f files %12s  %s\n", entry[L"name"].AsText().c_str(),
                                    entry[L"files"].AsNumber(),
                                    Size(static_cast<uint64_t>(entry[L"bytes"].AsNumber())).c_str(), outcome.c_str());
        }
        text += Strings::Format(L"Files (%u, %s):\n", static_cast<unsigned>(files.size()), Size(totalBytes).c_str());
        for (const JsonValue& entry : fileList.Items())
        {
            text += Strings::Format(L"  %12.0f  %s", entry[L"size"].AsNumber(), entry[L"path"].AsText().c_str());
            if (!entry[L"livePath"].IsNull())
                text += L"  <- " + entry[L"livePath"].AsText();
            text += L"\n";
        }
        Write(stdout, text);
        return Exit::Success;
    }

    // --- backup and restore ----------------------------------------------------------------------

    // Stages for the progress line, in the order the module runs them.
    std::vector<Progress::Stage> StagesOf(const std::vector<Step>& steps, bool isBackup)
    {
        std::vector<const Step*> running;
        for (const Step& step : steps)
            if (step.outcome != Outcome::Skipped)
                running.push_back(&step);
        std::stable_sort(running.begin(), running.end(), [&](const Step* a, const Step* b) {
            return isBackup ? a->component->backupPosition < b->component->backupPosition
                            : a->component->restorePosition < b->component->restorePosition;
        });
        std::vector<Progress::Stage> stages;
        if (!isBackup)
        {
            // A restore writes little below its source: name the whole run.
            String names;
            for (const Step* step : running)
                names += (names.empty() ? L"" : L", ") + String(step->component->name);
            if (!names.empty())
                stages.push_back({names, {}, String()});
            return stages;
        }
        for (const Step* step : running)
        {
            Progress::Stage stage{step->component->name, {}, String()};
            // The folders each component writes show it at work; its manifest, written last,
            // shows it done.
            for (const TopLevelName* name = step->component->topLevelNames; name->name != nullptr; ++name)
                if (name->kind == TopLevelKind::Mark && stage.doneMark.empty())
                    stage.doneMark = name->name;
                else if (name->kind == TopLevelKind::Folder || name->kind == TopLevelKind::MarkFolder)
                    stage.signs.push_back(name->name);
            stages.push_back(stage);
        }
        return stages;
    }

    // Writes backup.json, then SHA256SUMS over everything, backup.json included.
    // Sets each step's files and bytes from what lies below directory now; returns the bytes of
    // every file there.
    uint64_t CountFiles(const std::vector<Catalog::File>& files, const String& directory, std::vector<Step>& steps)
    {
        const Component* looseOwner = Catalog::LooseFilesOwner(directory);
        uint64_t totalBytes = 0;
        for (Step& step : steps)
            step.files = step.bytes = 0;
        for (const Catalog::File& file : files)
        {
            totalBytes += file.size;
            const Component* owner = Catalog::ComponentOf(file.path, looseOwner);
            for (Step& step : steps)
                if (owner != nullptr && owner == step.component)
                {
                    step.files += 1;
                    step.bytes += file.size;
                }
        }
        return totalBytes;
    }

    void WriteCatalog(const String& directory, const Options& options, const Machine& machine,
                      std::vector<Step>& steps, const String& time, double seconds)
    {
        const std::vector<Catalog::File> files = Catalog::ListFiles(directory);
        const uint64_t totalBytes = CountFiles(files, directory, steps);

        JsonValue info = JsonValue::Object();
        info.Set(L"format", 1);
        info.Set(L"machine", machine.name);
        info.Set(L"server", options.server);
        info.Set(L"windows", machine.Windows());
        info.Set(L"roles", machine.Roles());
        info.Set(L"time", time);
        info.Set(L"durationSeconds", seconds);
        const String version = ModuleVersion();
        info.Set(L"moduleVersion", version.empty() ? JsonValue() : JsonValue(version));
        JsonValue requested = JsonValue::Array();
        if (options.all)
            requested.Add(L"all");
        for (const Component* component : options.named)
            requested.Add(IdOf(*component));
        info.Set(L"requested", requested);
        JsonValue components = JsonValue::Array();
        for (const Step& step : steps)
        {
            JsonValue entry = JsonValue::Object();
            entry.Set(L"id", IdOf(*step.component));
            entry.Set(L"name", step.component->name);
            entry.Set(L"outcome", OutcomeName(step.outcome));
            entry.Set(L"reason", step.reason.empty() ? JsonValue() : JsonValue(step.reason));
            entry.Set(L"files", step.files);
            entry.Set(L"bytes", step.bytes);
            components.Add(entry);
        }
        info.Set(L"components", components);
        info.Set(L"files", static_cast<uint64_t>(files.size()));
        info.Set(L"bytes", totalBytes);

        const String infoPath = Catalog::FullPath(directory, Catalog::InfoFile);
        const std::string text = info.Write();
        UniqueFileHandle file(CreateFileW(infoPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size())
        {
            const DWORD error = GetLastError();
            file.reset();
            DeleteFileW(infoPath.c_str());
            throw CatalogException(Strings::Format(L"Writing %s failed: %s", infoPath.c_str(),
                                                   ErrorText::Format(error).c_str()));
        }
        file.reset();

        try
        {
            Catalog::WriteSums(directory, Catalog::ListFiles(directory));
        }
        catch (const CatalogException&)
        {
            DeleteFileW(infoPath.c_str());
            throw;
        }
    }

    // An earlier backup's catalog goes before the module runs, so that a backup that fails never
    // leaves one behind. Only where the module will take the folder for this backup.
    void RemoveEarlierCatalog(const String& directory, const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& record)
    {
        if (!Directories::Exists(directory))
            return;
        try
        {
            BackupTarget::Check(record, directory);
        }
        catch (const FileSystemException&)
        {
            return;   // the module refuses it with its own text
        }
        for (const wchar_t* name : {Catalog::SumsFile, Catalog::InfoFile})
            DeleteFileW(Catalog::FullPath(directory, name).c_str());
    }

    // What one backup or restore did, for the text and for --json.
    struct Job
    {
        std::vector<Step> steps;
        std::optional<double> seconds;   // the module's calls; none when it was not called
        String error;                    // why the job failed, as stderr says it
        uint64_t files = 0;              // below the target, or the backup restored from
        uint64_t bytes = 0;
    };

    int Refuse(Job& job, int code, const String& text)
    {
        Write(stderr, text.empty() || text.back() != L'\n' ? text + L"\n" : text);
        job.error = text;
        while (!job.error.empty() && iswspace(job.error.back()))
            job.error.pop_back();
        return code;
    }

    String TrimmedErrorOf(ISystemStateBackupRestore* object)
    {
        String error = ErrorOf(object);
        while (!error.empty() && iswspace(error.back()))
            error.pop_back();
        return error;
    }

    // The steps that run, in the order the module runs them.
    std::vector<Step*> RunningSteps(std::vector<Step>& steps, bool isBackup)
    {
        std::vector<Step*> running;
        for (Step& step : steps)
            if (step.outcome != Outcome::Skipped)
                running.push_back(&step);
        std::stable_sort(running.begin(), running.end(), [&](const Step* a, const Step* b) {
            return isBackup ? a->component->backupPosition < b->component->backupPosition
                            : a->component->restorePosition < b->component->restorePosition;
        });
        return running;
    }

    // After a failure in failed: the steps before it are done, those after it never ran.
    void MarkFailure(const std::vector<Step*>& running, const Step* failed, const String& error, bool isBackup)
    {
        bool after = false;
        for (Step* step : running)
        {
            if (step == failed)
            {
                step->outcome = Outcome::Failed;
                step->error = error;
                after = true;
            }
            else if (after)
            {
                step->outcome = Outcome::Skipped;
                step->reason = Strings::Format(L"not run: the %s stopped at %s", isBackup ? L"backup" : L"restore",
                                               failed->component->name);
            }
        }
    }

    // The one call of a backup failed: the component is the one whose exception the text names,
    // else the first that left no manifest (the module runs them in order).
    void AttributeBackupFailure(std::vector<Step>& steps, const String& directory, const String& error)
    {
        const std::vector<Step*> running = RunningSteps(steps, true);
        if (running.empty())
            return;
        const Component* named = JobReport::ComponentNamedIn(error);
        const Step* failed = nullptr;
        for (const Step* step : running)
            if (failed == nullptr && (named != nullptr ? step->component == named
                                                       : !BackupTarget::HasMark(*step->component, directory)))
                failed = step;
        MarkFailure(running, failed != nullptr ? failed : running.back(), error, true);
    }

    JsonValue JobJson(const Options& options, const Job& job, int exitCode)
    {
        JsonValue document = JsonValue::Object();
        document.Set(L"operation", options.verb);
        document.Set(L"directory", options.directory);
        document.Set(L"machine", LocalComputerName());
        document.Set(L"server", options.server);
        JsonValue components = JsonValue::Array();
        for (const Step& step : job.steps)
        {
            JsonValue entry = JsonValue::Object();
            entry.Set(L"id", IdOf(*step.component));
            entry.Set(L"name", step.component->name);
            entry.Set(L"outcome", OutcomeName(step.outcome));
            entry.Set(L"reason", step.reason.empty() ? JsonValue() : JsonValue(step.reason));
            entry.Set(L"error", step.error.empty() ? JsonValue() : JsonValue(step.error));
            entry.Set(L"files", step.files);
            entry.Set(L"bytes", step.bytes);
            components.Add(entry);
        }
        document.Set(L"components", components);
        document.Set(L"files", job.files);
        document.Set(L"bytes", job.bytes);
        document.Set(L"durationSeconds", job.seconds ? JsonValue(*job.seconds) : JsonValue());
        JsonValue renames = JsonValue::Array();
        for (const JobReport::PendingRename& rename : JobReport::ReadPendingRenames())
        {
            JsonValue entry = JsonValue::Object();
            entry.Set(L"from", rename.from);
            entry.Set(L"to", rename.to.empty() ? JsonValue() : JsonValue(rename.to));
            renames.Add(entry);
        }
        document.Set(L"pendingRenames", renames);
        document.Set(L"error", job.error.empty() ? JsonValue() : JsonValue(job.error));
        document.Set(L"exitCode", exitCode);
        return document;
    }

    int RunJob(ISystemStateBackupRestore* object, const Options& options, Job& job)
    {
        const bool isBackup = options.verb == L"backup";
        // Wiped on every way out, as is the copy handed to the module.
        Secret password;
        if (!options.passwordVariable.empty())
        {
            const DWORD size = GetEnvironmentVariableW(options.passwordVariable.c_str(), nullptr, 0);
            if (size == 0)
                return Refuse(job, Exit::Usage,
                              Strings::Format(L"ssbr: the environment variable %s (named by --password-env) is not set",
                                              options.passwordVariable.c_str()));
            password = Secret(size);
            password.Truncate(GetEnvironmentVariableW(options.passwordVariable.c_str(), password.Data(), size));
        }

        // A system-state restore onto a server of another name is a migration, not a recovery.
        if (!isBackup)
        {
            const String other = JobReport::OtherServerText(ReadInfo(options.directory)[L"machine"].AsText(),
                                                            LocalComputerName());
            if (!other.empty() && !options.otherServer)
                return Refuse(job, Exit::Failure,
                              L"ssbr: " + other + L"; nothing was restored (--other-server restores it anyway)");
        }

        // What --all stands for: every component on backup, what the backup holds on restore.
        std::vector<const Component*> allOf;
        if (isBackup && options.all)
            for (const Component& component : Components::All())
                allOf.push_back(&component);
        // --no-verify hands the folder to the components as it is: each one then says itself
        // what it finds there.
        if (!isBackup && options.noVerify && options.all)
            allOf = HeldComponents(options.directory, ReadInfo(options.directory));
        if (!isBackup && !options.noVerify)
        {
            if (!Directories::Exists(options.directory))
                return Refuse(job, Exit::Failure, L"ssbr: no backup directory " + options.directory);
            const std::vector<const Component*> held = HeldComponents(options.directory, ReadInfo(options.directory));
            String heldNames;
            for (const Component* component : held)
                heldNames += (heldNames.empty() ? L"" : L", ") + String(component->name);
            for (const Component* component : options.named)
                if (std::find(held.begin(), held.end(), component) == held.end())
                    return Refuse(job, Exit::Failure,
                                  Strings::Format(L"ssbr: the backup in %s holds no %s (it holds: %s); nothing was "
                                                  L"restored",
                                                  options.directory.c_str(), component->name,
                                                  heldNames.empty() ? L"nothing" : heldNames.c_str()));
            if (options.all)
                allOf = held;
        }

        EnablePrivileges(true);

        if (!isBackup && !options.noVerify)
        {
            const Catalog::Damage damage = Catalog::Verify(options.directory);
            if (!damage.IsWhole())
                return Refuse(job, Exit::Failure,
                              DamageText(options.directory, damage) +
                                  L"ssbr: not restoring from a damaged backup; nothing was restored (--no-verify "
                                  L"restores anyway)");
        }

        Machine machine(object, options.server);
        job.steps = PlanSteps(options, allOf, machine, isBackup);
        std::vector<Step>& steps = job.steps;

        UniqueBstr server(SysAllocString(options.server.c_str()));
        UniqueBstr domain(SysAllocString(options.domain.c_str()));
        UniqueBstr user(SysAllocString(options.user.c_str()));
        UniqueSecretBstr secret(SysAllocStringLen(password.Get().data(), static_cast<UINT>(password.Size())));
        UniqueBstr directory(SysAllocString(options.directory.c_str()));
        UniqueBstr quorum(SysAllocString(options.quorumDrive.c_str()));
        password.Wipe();
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
        record.m_bForceShutdownOfClusters = flag(options.forceClusterShutdown);
        // What ssbr reports as skipped is not asked of the module, so the report cannot be wrong
        // the other way.
        for (const Step& step : steps)
            record.*step.component->flag = flag(step.outcome != Outcome::Skipped);

        if (isBackup)
            RemoveEarlierCatalog(options.directory, record);

        const String time = UtcNow();
        const auto started = std::chrono::steady_clock::now();
        String failure;
        {
            Progress::Line progress(!options.quiet && Progress::IsTerminal(GetStdHandle(STD_ERROR_HANDLE)),
                                    options.verb, options.directory, StagesOf(steps, isBackup));
            if (isBackup)
            {
                // One call: the module empties the target first.
                if (FAILED(object->Backup(&record)))
                {
                    failure = TrimmedErrorOf(object);
                    AttributeBackupFailure(steps, options.directory, failure);
                }
            }
            else
            {
                // One call per component, in the module's order, so that a failure is known to be
                // that component's; the module runs the same steps in one call.
                const std::vector<Step*> running = RunningSteps(steps, false);
                for (const Step& step : steps)
                    record.*step.component->flag = VARIANT_FALSE;
                for (Step* step : running)
                {
                    record.*step->component->flag = VARIANT_TRUE;
                    const HRESULT hr = object->Restore(&record);
                    record.*step->component->flag = VARIANT_FALSE;
                    if (FAILED(hr))
                    {
                        failure = TrimmedErrorOf(object);
                        MarkFailure(running, step, failure, false);
                        break;
                    }
                }
            }
        }
        job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double seconds = *job.seconds;
        // A backup refused before it began may have left no folder to count.
        if (Directories::Exists(options.directory))
        {
            const std::vector<Catalog::File> listed = Catalog::ListFiles(options.directory);
            job.files = listed.size();
            job.bytes = CountFiles(listed, options.directory, steps);
        }
        if (!failure.empty())
            return Refuse(job, Exit::Failure, failure);

        if (isBackup)
        {
            // No silent success: a component that ran leaves its mark.
            for (Step& step : steps)
                if (step.outcome == Outcome::Done && !BackupTarget::HasMark(*step.component, options.directory))
                {
                    step.outcome = Outcome::Failed;
                    step.error = Strings::Format(L"the %s backup reported success but left no %s in %s",
                                                 step.component->name, MarkText(*step.component).c_str(),
                                                 options.directory.c_str());
                    return Refuse(job, Exit::Failure, L"ssbr: " + step.error + L"; no catalog written");
                }
            try
            {
                WriteCatalog(options.directory, options, machine, steps, time, seconds);
            }
            catch (const TarnException::Exception& error)
            {
                return Refuse(job, Exit::Failure, L"ssbr: the backup is not whole: " + error.GetMessage());
            }
            const std::vector<Catalog::File> files = Catalog::ListFiles(options.directory);
            job.files = files.size();
            job.bytes = CountFiles(files, options.directory, steps);
        }

        String text;
        String doneNames;
        bool namedSkipped = false;
        for (const Step& step : steps)
        {
            text += OutcomeLine(step);
            // A restore asks only for what the backup holds (--all included): whatever of it is
            // skipped is missing from the server afterwards.
            if (step.outcome == Outcome::Skipped)
                namedSkipped = namedSkipped || step.named || !isBackup;
            else
                doneNames += (doneNames.empty() ? L"" : L", ") + String(step.component->name);
        }
        text += Strings::Format(L"%s of %s %s %s completed in %.2f s\n", isBackup ? L"Backup" : L"Restore",
                                doneNames.empty() ? L"no component" : doneNames.c_str(), isBackup ? L"to" : L"from",
                                options.directory.c_str(), seconds);
        if (!options.json)
            Write(stdout, text);
        return namedSkipped ? Exit::Skipped : Exit::Success;
    }

    // While it lives, what is written to standard output goes to standard error: the module
    // writes progress lines there (the authority's backup), and --json promises one document.
    class StdoutToStderr
    {
    public:
        StdoutToStderr()
        {
            fflush(stdout);
            m_saved = _dup(1);
            if (m_saved != -1)
                _dup2(2, 1);
        }
        StdoutToStderr(const StdoutToStderr&) = delete;
        StdoutToStderr& operator=(const StdoutToStderr&) = delete;
        ~StdoutToStderr()
        {
            if (m_saved == -1)
                return;
            fflush(stdout);
            _dup2(m_saved, 1);
            _close(m_saved);
        }

    private:
        int m_saved = -1;
    };

    int RunBackupOrRestore(ISystemStateBackupRestore* object, const Options& options)
    {
        Job job;
        int exitCode;
        {
            std::optional<StdoutToStderr> aside;
            if (options.json)
                aside.emplace();
            exitCode = RunJob(object, options, job);
        }
        if (options.json)
            WriteJson(JobJson(options, job, exitCode));
        return exitCode;
    }

    int Run(const Options& options)
    {
        if (options.verb == L"verify")
            return RunVerify(options);
        if (options.verb == L"list")
            return RunList(options);

        // Apartment of this thread for the life of the program.
        ComApartment apartment(COINIT_MULTITHREADED);
        if (FAILED(apartment.Result()))
        {
            Write(stderr, L"ssbr: CoInitializeEx failed: " + ErrorText::Format(static_cast<DWORD>(apartment.Result())) +
                              L"\n");
            return Exit::Failure;
        }
        // The directory's VSS writer calls back into this process (vss/ComSecurity.h).
        const HRESULT security = VssHost::AllowWriterCallbacks();
        if (FAILED(security) && security != RPC_E_TOO_LATE)
        {
            Write(stderr, L"ssbr: CoInitializeSecurity failed: " + ErrorText::Format(static_cast<DWORD>(security)) + L"\n");
            return Exit::Failure;
        }
        CLSID classId = {};
        HRESULT hr = CLSIDFromProgID(ProgId, &classId);
        if (FAILED(hr))
        {
            Write(stderr, Strings::Format(L"ssbr: %s is not registered (run regsvr32 %s): %s\n", ProgId, ModuleFile,
                                          ErrorText::Format(static_cast<DWORD>(hr)).c_str()));
            return Exit::Failure;
        }
        ComPtr<ISystemStateBackupRestore> object;
        hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_ISystemStateBackupRestore, object.put_void());
        if (FAILED(hr))
        {
            Write(stderr, Strings::Format(L"ssbr: cannot create %s: %s\n", ProgId,
                                          ErrorText::Format(static_cast<DWORD>(hr)).c_str()));
            return Exit::Failure;
        }
        if (options.verb == L"status")
            return RunStatus(object.get(), options);
        return RunBackupOrRestore(object.get(), options);
    }
}

int wmain(int argc, wchar_t** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    Options options;
    try
    {
        options = CommandLine::Parse(std::vector<String>(argv + 1, argv + argc));
    }
    catch (const UsageError& error)
    {
        Write(stderr, L"ssbr: " + error.message + L"\n");
        Write(stderr, CommandLine::Usage(error.verb));
        return Exit::Usage;
    }
    if (options.help)
    {
        Write(stdout, CommandLine::Usage(options.verb));
        return Exit::Success;
    }
    if (options.server.empty())
        options.server = LocalComputerName();
    if (!options.directory.empty())
        // The module takes the target as a full path; a relative one would be read as a server's name.
        options.directory = Paths::GetFullPath(options.directory);
    if (options.verb == L"backup" && IsVolumeRoot(options.directory))
    {
        // A backup empties its target first: a root would cost the whole volume or share.
        Write(stderr, Strings::Format(L"ssbr: a backup empties its target directory first; '%s' is the root of a "
                                      L"volume or share, give a folder below it\n", options.directory.c_str()));
        return Exit::Usage;
    }

    try
    {
        return Run(options);
    }
    catch (const TarnException::Exception& error)
    {
        Write(stderr, L"ssbr: " + error.GetMessage() + L"\n");
        return Exit::Failure;
    }
}
