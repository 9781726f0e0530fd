#include "vss/Requestor.h"

#include "errors/ErrorText.h"
#include "files/Directories.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "platform/EnvironmentVariables.h"
#include "vss/ComponentFiles.h"
#include "vss/VssApi.h"
#include "vss/VssClientException.h"
#include "vss/VssTexts.h"

#include <new>
#include <string>
#include <vector>

namespace
{
    const wchar_t* const ComponentsDocument = L"BackupComponents.xml";
    const wchar_t* const MetadataDocument = L"WriterMetadata.xml";
    // Beside each live file during a restore: the saved copy before it takes the file's place, and
    // the live file after, until the writer has taken the restore.
    const wchar_t* const StagedSuffix = L".vssrestore";
    const wchar_t* const AsideSuffix = L".vssold";

    [[noreturn]] void Fail(const String& message)
    {
        throw VssClientException(message);
    }

    void Check(HRESULT hr, const String& call)
    {
        if (FAILED(hr))
            Fail(call + L" failed: " + VssTexts::Describe(hr));
    }

    bool SameText(const String& one, const String& other)
    {
        return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, one.c_str(), static_cast<int>(one.size()),
                              other.c_str(), static_cast<int>(other.size())) == CSTR_EQUAL;
    }

    bool Contains(const std::vector<String>& list, const String& item)
    {
        for (const String& entry : list)
            if (SameText(entry, item))
                return true;
        return false;
    }

    String Text(BSTR text)
    {
        return text == nullptr ? String() : String(text, SysStringLen(text));
    }

    String GuidText(const VSS_ID& id)
    {
        wchar_t text[40] = {};
        StringFromGUID2(id, text, 40);
        return text;
    }

    VSS_ID ParseWriterId(const String& text)
    {
        VSS_ID id = GUID_NULL;
        if (text.size() != 38 || FAILED(IIDFromString(text.c_str(), &id)))
            Fail(Strings::Format(L"'%s' is no writer id (a GUID in braces)", text.c_str()));
        return id;
    }

    void Await(IVssAsync* async, const String& call)
    {
        HRESULT hr = async->Wait(INFINITE);
        if (FAILED(hr))
            Fail(L"Waiting for " + call + L" failed: " + VssTexts::Describe(hr));
        HRESULT result = S_OK;
        hr = async->QueryStatus(&result, nullptr);
        if (FAILED(hr))
            Fail(L"The outcome of " + call + L" cannot be read: " + VssTexts::Describe(hr));
        if (result == VSS_S_ASYNC_CANCELLED)
            Fail(call + L" was cancelled before it finished");
        if (result == VSS_S_ASYNC_PENDING)
            Fail(call + L" had not finished when VSS said it had");
        Check(result, call);
    }

    String WriterFailure(const String& writer, VSS_WRITER_STATE state, HRESULT failure, const String& after)
    {
        const String head = Strings::Format(L"After %s the writer %s is in the state %s: ", after.c_str(), writer.c_str(),
                                            VssTexts::WriterStateName(state).c_str());
        if (failure == E_ACCESSDENIED)
            return head + L"it was refused access when it called back into this process (E_ACCESSDENIED); a process "
                          L"that asks VSS for a backup or restore must let writers call it (CoInitializeSecurity) "
                          L"before it does anything else with COM";
        if (SUCCEEDED(failure))
            return head + L"it gave no failure code; its entries in the event log say why it failed";
        return head + VssTexts::Describe(failure);
    }

    // Every writer's state after a step: a writer that failed fails the operation.
    void CheckWriters(IVssBackupComponents* backup, const String& after)
    {
        ComPtr<IVssAsync> async;
        Check(backup->GatherWriterStatus(async.put()), L"GatherWriterStatus");
        Await(async.get(), L"GatherWriterStatus");
        auto release = OnScopeExit([backup] { backup->FreeWriterStatus(); });
        UINT count = 0;
        Check(backup->GetWriterStatusCount(&count), L"GetWriterStatusCount");
        String failures;
        for (UINT i = 0; i < count; ++i)
        {
            VSS_ID instance = GUID_NULL, writer = GUID_NULL;
            UniqueBstr name;
            VSS_WRITER_STATE state = VSS_WS_UNKNOWN;
            HRESULT failure = S_OK;
            Check(backup->GetWriterStatus(i, &instance, &writer, name.put(), &state, &failure), L"GetWriterStatus");
            if (!VssTexts::IsFailedState(state) && SUCCEEDED(failure))
                continue;
            const String writerName = Strings::Format(L"%s (%s)", Text(name.get()).c_str(), GuidText(writer).c_str());
            failures += (failures.empty() ? L"" : L"; ") + WriterFailure(writerName, state, failure, after);
        }
        if (!failures.empty())
            Fail(failures);
    }

    // An asynchronous step: started, waited for, its outcome and then every writer's state checked.
    template <typename Start>
    void Step(IVssBackupComponents* backup, const wchar_t* call, Start start)
    {
        ComPtr<IVssAsync> async;
        Check(start(async.put()), call);
        Await(async.get(), call);
        CheckWriters(backup, call);
    }

    String Expanded(BSTR text)
    {
        EnvironmentVariables variables;
        String expanded;
        if (FAILED(variables.Expand(Text(text), expanded)))
            Fail(variables.GetError());
        return expanded;
    }

    FileDescriptor ReadDescriptor(IVssWMFiledesc* descriptor)
    {
        UniqueBstr path, filespec, alternate;
        boolean recursive = false;
        Check(descriptor->GetPath(path.put()), L"IVssWMFiledesc::GetPath");
        Check(descriptor->GetFilespec(filespec.put()), L"IVssWMFiledesc::GetFilespec");
        Check(descriptor->GetRecursive(&recursive), L"IVssWMFiledesc::GetRecursive");
        Check(descriptor->GetAlternateLocation(alternate.put()), L"IVssWMFiledesc::GetAlternateLocation");
        FileDescriptor result;
        result.path = Expanded(path.get());
        result.filespec = Text(filespec.get());
        result.recursive = recursive != 0;
        result.alternateLocation = alternate ? Expanded(alternate.get()) : String();
        return result;
    }

    // What the requestor needs of one writer component, read out of the writer's metadata.
    struct WriterComponent
    {
        VSS_ID instance = GUID_NULL;
        VSS_ID writer = GUID_NULL;
        String writerName;
        VSS_COMPONENT_TYPE type = VSS_CT_UNDEFINED;
        String logicalPath;
        String name;
        std::vector<FileDescriptor> files;
        VSS_RESTOREMETHOD_ENUM method = VSS_RME_UNDEFINED;
        std::vector<FileDescriptor> mappings;
        String metadata;

        const wchar_t* LogicalPath() const { return logicalPath.empty() ? nullptr : logicalPath.c_str(); }
        String Describe() const
        {
            return Strings::Format(L"the component %s of the writer %s", name.c_str(), writerName.c_str());
        }
    };

    using FileGetter = HRESULT (STDMETHODCALLTYPE IVssWMComponent::*)(UINT, IVssWMFiledesc**);

    void ReadDescriptors(IVssWMComponent* component, UINT count, FileGetter get, const wchar_t* call,
                         std::vector<FileDescriptor>& files)
    {
        for (UINT i = 0; i < count; ++i)
        {
            ComPtr<IVssWMFiledesc> descriptor;
            Check((component->*get)(i, descriptor.put()), call);
            files.push_back(ReadDescriptor(descriptor.get()));
        }
    }

    WriterComponent ReadComponent(IVssExamineWriterMetadata* metadata, IVssWMComponent* component,
                                  const VSS_COMPONENTINFO& info)
    {
        WriterComponent result;
        result.type = info.type;
        result.logicalPath = Text(info.bstrLogicalPath);
        result.name = Text(info.bstrComponentName);
        ReadDescriptors(component, info.cFileCount, &IVssWMComponent::GetFile, L"IVssWMComponent::GetFile", result.files);
        ReadDescriptors(component, info.cDatabases, &IVssWMComponent::GetDatabaseFile,
                        L"IVssWMComponent::GetDatabaseFile", result.files);
        ReadDescriptors(component, info.cLogFiles, &IVssWMComponent::GetDatabaseLogFile,
                        L"IVssWMComponent::GetDatabaseLogFile", result.files);

        UniqueBstr service, userProcedure;
        VSS_WRITERRESTORE_ENUM writerRestore = VSS_WRE_UNDEFINED;
        boolean rebootRequired = false;
        UINT mappings = 0;
        Check(metadata->GetRestoreMethod(&result.method, service.put(), userProcedure.put(), &writerRestore,
                                         &rebootRequired, &mappings),
              L"IVssExamineWriterMetadata::GetRestoreMethod");
        for (UINT i = 0; i < mappings; ++i)
        {
            ComPtr<IVssWMFiledesc> mapping;
            Check(metadata->GetAlternateLocationMapping(i, mapping.put()),
                  L"IVssExamineWriterMetadata::GetAlternateLocationMapping");
            result.mappings.push_back(ReadDescriptor(mapping.get()));
        }
        UniqueBstr document;
        Check(metadata->SaveAsXML(document.put()), L"IVssExamineWriterMetadata::SaveAsXML");
        result.metadata = Text(document.get());
        return result;
    }

    // The writer's component, after GatherWriterMetadata. A writer or component that is not there
    // is named in the failure.
    WriterComponent FindComponent(IVssBackupComponents* backup, const VSS_ID& writerId, const String& componentName)
    {
        auto release = OnScopeExit([backup] { backup->FreeWriterMetadata(); });
        UINT writers = 0;
        Check(backup->GetWriterMetadataCount(&writers), L"GetWriterMetadataCount");
        for (UINT i = 0; i < writers; ++i)
        {
            VSS_ID instance = GUID_NULL;
            ComPtr<IVssExamineWriterMetadata> metadata;
            Check(backup->GetWriterMetadata(i, &instance, metadata.put()), L"GetWriterMetadata");
            VSS_ID identityInstance = GUID_NULL, writer = GUID_NULL;
            UniqueBstr writerName;
            VSS_USAGE_TYPE usage = VSS_UT_UNDEFINED;
            VSS_SOURCE_TYPE source = VSS_ST_UNDEFINED;
            Check(metadata->GetIdentity(&identityInstance, &writer, writerName.put(), &usage, &source),
                  L"IVssExamineWriterMetadata::GetIdentity");
            if (!IsEqualGUID(writer, writerId))
                continue;

            const String name = Strings::Format(L"%s (%s)", Text(writerName.get()).c_str(), GuidText(writer).c_str());
            UINT includes = 0, excludes = 0, components = 0;
            Check(metadata->GetFileCounts(&includes, &excludes, &components), L"IVssExamineWriterMetadata::GetFileCounts");
            for (UINT c = 0; c < components; ++c)
            {
                ComPtr<IVssWMComponent> component;
                Check(metadata->GetComponent(c, component.put()), L"IVssExamineWriterMetadata::GetComponent");
                PVSSCOMPONENTINFO info = nullptr;
                Check(component->GetComponentInfo(&info), L"IVssWMComponent::GetComponentInfo");
                IVssWMComponent* const owner = component.get();
                auto freeInfo = OnScopeExit([owner, info] { owner->FreeComponentInfo(info); });
                if (!SameText(Text(info->bstrComponentName), componentName))
                    continue;
                WriterComponent result = ReadComponent(metadata.get(), component.get(), *info);
                result.instance = instance;
                result.writer = writer;
                result.writerName = name;
                return result;
            }
            Fail(Strings::Format(L"The writer %s has no component %s", name.c_str(), componentName.c_str()));
        }
        Fail(Strings::Format(L"The writer %s is not registered with VSS on this server (writers that answered: %u); "
                             L"its service may not be running",
                             GuidText(writerId).c_str(), writers));
    }

    struct Snapshot
    {
        String volume;
        VSS_ID id = GUID_NULL;
        String deviceObject;
    };

    String DeviceObject(IVssBackupComponents* backup, const Snapshot& snapshot)
    {
        VSS_SNAPSHOT_PROP properties = {};
        Check(backup->GetSnapshotProperties(snapshot.id, &properties), L"GetSnapshotProperties(" + snapshot.volume + L")");
        // What VssFreeSnapshotProperties does, without a second entry point whose name differs by
        // system; owned before the copy below can throw.
        const UniqueCoTaskString owned[] = {
            UniqueCoTaskString(properties.m_pwszSnapshotDeviceObject), UniqueCoTaskString(properties.m_pwszOriginalVolumeName),
            UniqueCoTaskString(properties.m_pwszOriginatingMachine), UniqueCoTaskString(properties.m_pwszServiceMachine),
            UniqueCoTaskString(properties.m_pwszExposedName), UniqueCoTaskString(properties.m_pwszExposedPath)};
        const String device = owned[0].get() != nullptr ? owned[0].get() : L"";
        if (device.empty())
            Fail(L"The shadow copy of " + snapshot.volume + L" has no device to read it from");
        return device;
    }

    const Snapshot& SnapshotOf(const std::vector<Snapshot>& snapshots, const String& volume)
    {
        for (const Snapshot& snapshot : snapshots)
            if (SameText(snapshot.volume, volume))
                return snapshot;
        Fail(L"No shadow copy was made of " + volume);
    }

    void CopyFromSnapshots(const WriterComponent& component, const std::vector<String>& volumes,
                           const std::vector<Snapshot>& snapshots, const String& folder)
    {
        std::vector<String> copied;
        for (size_t i = 0; i < component.files.size(); ++i)
        {
            const FileDescriptor& descriptor = component.files[i];
            const Snapshot& snapshot = SnapshotOf(snapshots, volumes[i]);
            const String source = ComponentFiles::InSnapshot(descriptor.path, snapshot.volume, snapshot.deviceObject);
            const String target = ComponentFiles::InBackup(folder, descriptor.path);
            for (const String& relative : ComponentFiles::Matching(source, descriptor.filespec, descriptor.recursive))
            {
                const String destination = target + L"\\" + relative;
                if (Contains(copied, destination))
                    continue;
                if (!Files::Copy(source + L"\\" + relative, destination, false))
                {
                    const String error = ErrorText::FormatLastError();
                    Fail(Strings::Format(L"Copying %s\\%s out of the shadow copy into %s failed: %s",
                                         descriptor.path.c_str(), relative.c_str(), destination.c_str(), error.c_str()));
                }
                copied.push_back(destination);
            }
        }
        if (copied.empty())
            Fail(L"The shadow copy holds no file of " + component.Describe());
    }

    void WriteDocument(const String& path, const String& text)
    {
        const std::string bytes = Strings::ToUtf8(text);
        UniqueFileHandle file(CreateFileW(Paths::ToLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size())
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"Writing %s failed: %s", path.c_str(), error.c_str()));
        }
    }

    String ReadDocument(const String& path)
    {
        UniqueFileHandle file(CreateFileW(Paths::ToLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size = {};
        if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 64 * 1024 * 1024)
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"Reading %s failed: %s", path.c_str(), error.c_str()));
        }
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        if (!bytes.empty() && (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                               read != bytes.size()))
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"Reading %s failed: %s", path.c_str(), error.c_str()));
        }
        return Strings::FromUtf8(bytes);
    }

    struct PlannedFile
    {
        String source;
        String destination;
    };

    // Where each saved file goes, by the writer's restore method; refuses what cannot be done
    // before anything is copied.
    std::vector<PlannedFile> PlanRestore(const WriterComponent& component, const String& folder)
    {
        const VSS_RESTOREMETHOD_ENUM method = component.method;
        if (method != VSS_RME_RESTORE_IF_NOT_THERE && method != VSS_RME_RESTORE_IF_CAN_REPLACE &&
            method != VSS_RME_RESTORE_TO_ALTERNATE_LOCATION)
            Fail(Strings::Format(L"The writer %s asks to be restored by %s, which this requestor cannot carry out "
                                 L"(it replaces files and restores to alternate locations, it stops no service and "
                                 L"schedules nothing for a restart); nothing was restored",
                                 component.writerName.c_str(), VssTexts::RestoreMethodName(method).c_str()));
        std::vector<PlannedFile> plan;
        std::vector<String> destinations;
        for (const FileDescriptor& descriptor : component.files)
        {
            const String saved = ComponentFiles::InBackup(folder, descriptor.path);
            for (const String& relative : ComponentFiles::Matching(saved, descriptor.filespec, descriptor.recursive))
            {
                const FileDescriptor* mapping = nullptr;
                for (const FileDescriptor& candidate : component.mappings)
                    if (mapping == nullptr && ComponentFiles::IsMapped(candidate, descriptor, relative))
                        mapping = &candidate;
                const String live = descriptor.path + L"\\" + relative;
                if (method == VSS_RME_RESTORE_TO_ALTERNATE_LOCATION && mapping == nullptr)
                    Fail(Strings::Format(L"The writer %s restores only to alternate locations (%s) and names none for "
                                         L"%s; nothing was restored",
                                         component.writerName.c_str(), VssTexts::RestoreMethodName(method).c_str(),
                                         live.c_str()));
                const String destination =
                    mapping != nullptr ? ComponentFiles::AlternatePath(*mapping, descriptor, relative) : live;
                if (Contains(destinations, destination))
                    continue;
                if (method == VSS_RME_RESTORE_IF_NOT_THERE && Paths::Exists(destination))
                    Fail(Strings::Format(L"The writer %s restores only files that are missing (%s), and %s exists; "
                                         L"nothing was restored",
                                         component.writerName.c_str(), VssTexts::RestoreMethodName(method).c_str(),
                                         destination.c_str()));
                destinations.push_back(destination);
                plan.push_back({saved + L"\\" + relative, destination});
            }
        }
        if (plan.empty())
            Fail(Strings::Format(L"The backup in %s holds no file of %s", folder.c_str(), component.Describe().c_str()));
        return plan;
    }

    // The live files of a restore, replaced as a whole: every saved file is first copied beside
    // the file it replaces (on that file's volume), then each live file is moved aside and the copy
    // takes its place; the files moved aside go only once the writer has taken the restore. Until
    // then, any failure puts every live file back.
    class FileSwap
    {
    public:
        explicit FileSwap(std::vector<PlannedFile> plan)
        {
            for (PlannedFile& file : plan)
                m_entries.push_back({std::move(file)});
        }
        FileSwap(const FileSwap&) = delete;
        FileSwap& operator=(const FileSwap&) = delete;
        ~FileSwap()
        {
            if (!m_finished)
                RollBack();
        }

        void Stage()
        {
            for (Entry& entry : m_entries)
            {
                const String staged = entry.file.destination + StagedSuffix;
                entry.staged = true;
                if (!Files::Copy(entry.file.source, staged, true))
                {
                    const String error = ErrorText::FormatLastError();
                    Fail(Strings::Format(L"Copying %s to %s failed: %s", entry.file.source.c_str(), staged.c_str(),
                                         error.c_str()));
                }
            }
        }

        void Commit()
        {
            for (Entry& entry : m_entries)
            {
                const String& live = entry.file.destination;
                if (Paths::Exists(live))
                {
                    Move(live, live + AsideSuffix);
                    entry.movedAside = true;
                }
                Move(live + StagedSuffix, live);
                entry.placed = true;
            }
        }

        // The restore stands: the files moved aside go.
        void Finish()
        {
            m_finished = true;
            for (Entry& entry : m_entries)
                if (entry.movedAside)
                    Files::Delete(entry.file.destination + AsideSuffix);
        }

    private:
        struct Entry
        {
            PlannedFile file;
            bool staged = false;
            bool movedAside = false;
            bool placed = false;
        };

        static void Move(const String& from, const String& to)
        {
            if (!MoveFileExW(Paths::ToLongPath(from).c_str(), Paths::ToLongPath(to).c_str(), MOVEFILE_REPLACE_EXISTING))
            {
                const String error = ErrorText::FormatLastError();
                Fail(Strings::Format(L"MoveFileEx(%s, %s) failed: %s", from.c_str(), to.c_str(), error.c_str()));
            }
        }

        void RollBack() noexcept
        {
            for (auto entry = m_entries.rbegin(); entry != m_entries.rend(); ++entry)
            {
                const String& live = entry->file.destination;
                if (entry->placed)
                    DeleteFileW(Paths::ToLongPath(live).c_str());
                if (entry->movedAside)
                    MoveFileExW(Paths::ToLongPath(live + AsideSuffix).c_str(), Paths::ToLongPath(live).c_str(),
                                MOVEFILE_REPLACE_EXISTING);
                if (entry->staged && !entry->placed)
                    DeleteFileW(Paths::ToLongPath(live + StagedSuffix).c_str());
            }
        }

        std::vector<Entry> m_entries;
        bool m_finished = false;
    };
}

void VssRequestor::Backup(const String& writerId, const String& componentName, const String& folder)
{
    const VSS_ID writer = ParseWriterId(writerId);
    if (!Directories::Exists(folder))
        Fail(Strings::Format(L"The backup folder %s does not exist", folder.c_str()));
    const String target = ComponentFiles::ComponentFolder(folder);
    if (Paths::Exists(target))
        Fail(Strings::Format(L"%s exists already; a backup puts the component into a folder of its own", target.c_str()));

    const ComPtr<IVssBackupComponents> owner = m_api.Create();
    IVssBackupComponents* const backup = owner.get();
    Check(backup->InitializeForBackup(nullptr), L"InitializeForBackup");
    Check(backup->SetBackupState(true, true, VSS_BT_FULL, false), L"SetBackupState");
    Step(backup, L"GatherWriterMetadata", [backup](IVssAsync** async) { return backup->GatherWriterMetadata(async); });
    const WriterComponent component = FindComponent(backup, writer, componentName);
    Check(backup->AddComponent(component.instance, component.writer, component.type, component.LogicalPath(),
                               component.name.c_str()),
          L"AddComponent");

    VSS_ID snapshotSet = GUID_NULL;
    Check(backup->StartSnapshotSet(&snapshotSet), L"StartSnapshotSet");
    // From here a failure leaves no shadow copy: the writers are told, and releasing the object
    // deletes what it made.
    auto abortBackup = OnScopeExit([backup] { backup->AbortBackup(); });
    std::vector<String> volumes;
    std::vector<Snapshot> snapshots;
    for (const FileDescriptor& descriptor : component.files)
    {
        volumes.push_back(ComponentFiles::VolumeOf(descriptor.path));
        bool added = false;
        for (const Snapshot& snapshot : snapshots)
            added = added || SameText(snapshot.volume, volumes.back());
        if (added)
            continue;
        Snapshot snapshot;
        snapshot.volume = volumes.back();
        Check(backup->AddToSnapshotSet(&snapshot.volume[0], GUID_NULL, &snapshot.id),
              L"AddToSnapshotSet(" + snapshot.volume + L")");
        snapshots.push_back(snapshot);
    }
    Step(backup, L"PrepareForBackup", [backup](IVssAsync** async) { return backup->PrepareForBackup(async); });
    Step(backup, L"DoSnapshotSet", [backup](IVssAsync** async) { return backup->DoSnapshotSet(async); });
    for (Snapshot& snapshot : snapshots)
        snapshot.deviceObject = DeviceObject(backup, snapshot);

    if (!Directories::Create(target))
    {
        const String error = ErrorText::FormatLastError();
        Fail(Strings::Format(L"Directories::Create(%s) failed: %s", target.c_str(), error.c_str()));
    }
    auto removeTarget = OnScopeExit([&target] { Directories::Delete(target); });
    CopyFromSnapshots(component, volumes, snapshots, folder);
    Check(backup->SetBackupSucceeded(component.instance, component.writer, component.type, component.LogicalPath(),
                                     component.name.c_str(), true),
          L"SetBackupSucceeded");
    Step(backup, L"BackupComplete", [backup](IVssAsync** async) { return backup->BackupComplete(async); });
    UniqueBstr document;
    Check(backup->SaveAsXML(document.put()), L"SaveAsXML");
    WriteDocument(target + L"\\" + ComponentsDocument, Text(document.get()));
    WriteDocument(target + L"\\" + MetadataDocument, component.metadata);
    removeTarget.Dismiss();
    abortBackup.Dismiss();
}

void VssRequestor::Restore(const String& writerId, const String& componentName, const String& folder)
{
    const String source = ComponentFiles::ComponentFolder(folder);
    const String document = source + L"\\" + ComponentsDocument;
    if (!Files::Exists(document) || !Files::Exists(source + L"\\" + MetadataDocument))
        Fail(Strings::Format(L"No Active Directory backup in %s", folder.c_str()));
    const VSS_ID writer = ParseWriterId(writerId);
    const String saved = ReadDocument(document);

    const ComPtr<IVssBackupComponents> owner = m_api.Create();
    IVssBackupComponents* const backup = owner.get();
    const UniqueBstr xml(SysAllocStringLen(saved.data(), static_cast<UINT>(saved.size())));
    if (!xml)
        throw std::bad_alloc();
    Check(backup->InitializeForRestore(xml.get()), L"InitializeForRestore");
    Step(backup, L"GatherWriterMetadata", [backup](IVssAsync** async) { return backup->GatherWriterMetadata(async); });
    const WriterComponent component = FindComponent(backup, writer, componentName);
    FileSwap swap(PlanRestore(component, folder));
    swap.Stage();

    Check(backup->SetSelectedForRestore(component.writer, component.type, component.LogicalPath(), component.name.c_str(),
                                        true),
          L"SetSelectedForRestore");
    Step(backup, L"PreRestore", [backup](IVssAsync** async) { return backup->PreRestore(async); });
    swap.Commit();
    Check(backup->SetFileRestoreStatus(component.writer, component.type, component.LogicalPath(), component.name.c_str(),
                                       VSS_RS_ALL),
          L"SetFileRestoreStatus");
    Step(backup, L"PostRestore", [backup](IVssAsync** async) { return backup->PostRestore(async); });
    swap.Finish();
}
