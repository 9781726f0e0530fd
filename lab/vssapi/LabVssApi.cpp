// The lab's vssapi.dll: VSS for a lab machine, where Wine has none. Installed in the system folder
// of lab machines of version 6 and later (a native override makes it win over Wine's own), its
// backup components object serves one writer, the lab directory writer:
//   writer {b2014c9e-8711-4c5c-a5a9-3cf384484757} "NTDS", component "ntds" (logical path
//   C:_WINDOWS_NTDS), database %SystemRoot%\NTDS\ntds.dit, logs edb*.log and edb.chk, files
//   res*.log; restore method VSS_RME_RESTORE_IF_CAN_REPLACE.
// The writer goes through the platform's states (stable, waiting for freeze, waiting for backup
// complete). DoSnapshotSet freezes the writer's files of each volume in the set into
// C:\HarborlineLab\snapshots\<snapshot id>, mirrored below it as below the volume's root, and
// reports that folder as the snapshot's device object; AbortBackup and the release of the object
// delete it. The files are frozen as hard links (a copy where a link cannot be made): the lab
// writer changes a file only by replacing it, so the frozen one keeps what it held.
//
// Test interface (fixed; tests outside the VSS requestor's drive it too):
//   C:\HarborlineLab\vssapi.log: one line per call of the backup components object, in call
//     order, the method's name first (then its arguments), and "Release" when it goes.
//   Below HKLM\SOFTWARE\Harborline Lab\vssapi:
//     FailAt (REG_SZ): the name of a call; that call's asynchronous result (or, for a call without
//       one, its return value) is VSS_E_UNEXPECTED, and it does nothing.
//     WriterFailsAt (REG_SZ): a call after which the writer reports a failed state (the one that
//       belongs to that call) with VSS_E_WRITERERROR_RETRYABLE.
//     ChangeAfterSnapshot (DWORD 1): right after DoSnapshotSet the writer appends to the live
//       database, so a backup that reads the live volume instead of the snapshot is caught.
//   C:\HarborlineLab\snapshots is empty when no requestor holds a shadow copy.
// Further knobs for the requestor's own tests:
//     WriterFailure (DWORD): the failure code WriterFailsAt reports instead.
//     RestoreMethod (DWORD): the VSS_RESTOREMETHOD_ENUM the writer asks for.
//     AlternateLocation (REG_SZ): a folder the writer maps its database (ntds.dit) to on restore.
// Only what a requestor of one writer needs is served; every other method answers E_NOTIMPL.

#include <windows.h>
#include <shlwapi.h>
#include <vss.h>
#include <vsserror.h>
#include <vswriter.h>
#include <vsbackup.h>

#include <string>
#include <vector>

namespace
{
    const wchar_t* const KnobKey = L"SOFTWARE\\Harborline Lab\\vssapi";
    const wchar_t* const LogFile = L"C:\\HarborlineLab\\vssapi.log";
    const wchar_t* const SnapshotRoot = L"C:\\HarborlineLab\\snapshots";

    const GUID DirectoryWriter = {0xb2014c9e, 0x8711, 0x4c5c, {0xa5, 0xa9, 0x3c, 0xf3, 0x84, 0x48, 0x47, 0x57}};
    const GUID WriterInstance = {0x6d5a9c1e, 0x52b4, 0x4f0e, {0x9a, 0x61, 0x1c, 0x0b, 0x5e, 0x2d, 0x7f, 0x30}};
    const GUID LabProvider = {0x4c1a5f33, 0x0d8e, 0x4b8a, {0xb6, 0x1d, 0x6e, 0x2f, 0x90, 0x1a, 0x44, 0x21}};
    const wchar_t* const WriterName = L"NTDS";
    const wchar_t* const ComponentName = L"ntds";
    const wchar_t* const LogicalPath = L"C:_WINDOWS_NTDS";
    const wchar_t* const Folder = L"%SystemRoot%\\NTDS";

    struct Descriptor
    {
        const wchar_t* path;
        const wchar_t* filespec;
    };
    const Descriptor DatabaseFiles[] = {{Folder, L"ntds.dit"}};
    const Descriptor LogFiles[] = {{Folder, L"edb*.log"}, {Folder, L"edb.chk"}};
    const Descriptor OtherFiles[] = {{Folder, L"res*.log"}};
    struct DescriptorList
    {
        const Descriptor* entries;
        size_t count;
    };
    const DescriptorList AllFiles[] = {
        {DatabaseFiles, ARRAYSIZE(DatabaseFiles)}, {LogFiles, ARRAYSIZE(LogFiles)}, {OtherFiles, ARRAYSIZE(OtherFiles)}};

    std::wstring Knob(const wchar_t* name)
    {
        wchar_t value[512] = {};
        DWORD size = sizeof value - sizeof(wchar_t);
        DWORD type = 0;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, KnobKey, name, RRF_RT_REG_SZ, &type, value, &size) != ERROR_SUCCESS)
            return std::wstring();
        return value;
    }

    DWORD KnobNumber(const wchar_t* name, DWORD fallback)
    {
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, KnobKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
            return fallback;
        return value;
    }

    void Log(const std::wstring& line)
    {
        CreateDirectoryW(L"C:\\HarborlineLab", nullptr);
        HANDLE file = CreateFileW(LogFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return;
        const std::wstring text = line + L"\r\n";
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                              nullptr, nullptr);
        std::string utf8(bytes, '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr, nullptr);
        DWORD written = 0;
        WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
        CloseHandle(file);
    }

    std::wstring GuidText(const GUID& id)
    {
        wchar_t text[40] = {};
        StringFromGUID2(id, text, 40);
        return text;
    }

    std::wstring Expand(const wchar_t* text)
    {
        wchar_t expanded[1024] = {};
        ExpandEnvironmentStringsW(text, expanded, 1024);
        return expanded;
    }

    void CreateFolders(const std::wstring& folder)
    {
        for (size_t slash = folder.find(L'\\', 3); slash != std::wstring::npos; slash = folder.find(L'\\', slash + 1))
            CreateDirectoryW(folder.substr(0, slash).c_str(), nullptr);
        CreateDirectoryW(folder.c_str(), nullptr);
    }

    void DeleteTree(const std::wstring& folder)
    {
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE)
        {
            do
            {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring path = folder + L"\\" + name;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    DeleteTree(path);
                else
                {
                    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(path.c_str());
                }
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
        RemoveDirectoryW(folder.c_str());
    }

    wchar_t* TaskString(const std::wstring& text)
    {
        auto copy = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
        if (copy != nullptr)
            lstrcpyW(copy, text.c_str());
        return copy;
    }

    // IUnknown for the lab's objects; each serves one interface.
    template <typename Interface>
    class LabObject : public Interface
    {
    public:
        LabObject() = default;
        LabObject(const LabObject&) = delete;
        LabObject& operator=(const LabObject&) = delete;

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
        {
            if (object == nullptr)
                return E_POINTER;
            if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, __uuidof(Interface)))
            {
                *object = static_cast<Interface*>(this);
                this->AddRef();
                return S_OK;
            }
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_references); }
        ULONG STDMETHODCALLTYPE Release() override
        {
            const ULONG left = InterlockedDecrement(&m_references);
            if (left == 0)
                delete this;
            return left;
        }

    protected:
        virtual ~LabObject() = default;

    private:
        LONG m_references = 1;
    };

    class LabAsync : public LabObject<IVssAsync>
    {
    public:
        explicit LabAsync(HRESULT result) : m_result(SUCCEEDED(result) ? VSS_S_ASYNC_FINISHED : result) {}
        HRESULT STDMETHODCALLTYPE Cancel() override { return VSS_S_ASYNC_FINISHED; }
        HRESULT STDMETHODCALLTYPE Wait(DWORD) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT* result, INT*) override
        {
            *result = m_result;
            return S_OK;
        }

    private:
        HRESULT m_result;
    };

    class LabFiledesc : public LabObject<IVssWMFiledesc>
    {
    public:
        LabFiledesc(const std::wstring& path, const std::wstring& filespec, const std::wstring& alternate)
            : m_path(path), m_filespec(filespec), m_alternate(alternate)
        {
        }
        HRESULT STDMETHODCALLTYPE GetPath(BSTR* path) override { return Out(m_path, path); }
        HRESULT STDMETHODCALLTYPE GetFilespec(BSTR* filespec) override { return Out(m_filespec, filespec); }
        HRESULT STDMETHODCALLTYPE GetRecursive(boolean* recursive) override
        {
            *recursive = false;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetAlternateLocation(BSTR* alternate) override
        {
            if (m_alternate.empty())
            {
                *alternate = nullptr;
                return S_FALSE;
            }
            return Out(m_alternate, alternate);
        }
        HRESULT STDMETHODCALLTYPE GetBackupTypeMask(DWORD* mask) override
        {
            *mask = 0xffffffff;
            return S_OK;
        }

    private:
        static HRESULT Out(const std::wstring& text, BSTR* out)
        {
            *out = SysAllocString(text.c_str());
            return *out != nullptr ? S_OK : E_OUTOFMEMORY;
        }

        std::wstring m_path, m_filespec, m_alternate;
    };

    template <size_t Count>
    HRESULT DescriptorAt(const Descriptor (&list)[Count], UINT index, IVssWMFiledesc** descriptor)
    {
        if (index >= Count)
            return E_INVALIDARG;
        *descriptor = new LabFiledesc(list[index].path, list[index].filespec, L"");
        return S_OK;
    }

    class LabComponent : public LabObject<IVssWMComponent>
    {
    public:
        HRESULT STDMETHODCALLTYPE GetComponentInfo(PVSSCOMPONENTINFO* info) override
        {
            auto component = new VSS_COMPONENTINFO();
            component->type = VSS_CT_DATABASE;
            component->bstrLogicalPath = SysAllocString(LogicalPath);
            component->bstrComponentName = SysAllocString(ComponentName);
            component->bstrCaption = SysAllocString(L"Lab directory database");
            component->bSelectable = true;
            component->bSelectableForRestore = true;
            component->cFileCount = ARRAYSIZE(OtherFiles);
            component->cDatabases = ARRAYSIZE(DatabaseFiles);
            component->cLogFiles = ARRAYSIZE(LogFiles);
            *info = component;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE FreeComponentInfo(PVSSCOMPONENTINFO info) override
        {
            SysFreeString(info->bstrLogicalPath);
            SysFreeString(info->bstrComponentName);
            SysFreeString(info->bstrCaption);
            delete info;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetFile(UINT index, IVssWMFiledesc** file) override
        {
            return DescriptorAt(OtherFiles, index, file);
        }
        HRESULT STDMETHODCALLTYPE GetDatabaseFile(UINT index, IVssWMFiledesc** file) override
        {
            return DescriptorAt(DatabaseFiles, index, file);
        }
        HRESULT STDMETHODCALLTYPE GetDatabaseLogFile(UINT index, IVssWMFiledesc** file) override
        {
            return DescriptorAt(LogFiles, index, file);
        }
        HRESULT STDMETHODCALLTYPE GetDependency(UINT, IVssWMDependency**) override { return E_NOTIMPL; }
    };

    class LabWriterMetadata : public LabObject<IVssExamineWriterMetadata>
    {
    public:
        HRESULT STDMETHODCALLTYPE GetIdentity(VSS_ID* instance, VSS_ID* writer, BSTR* name, VSS_USAGE_TYPE* usage,
                                              VSS_SOURCE_TYPE* source) override
        {
            *instance = WriterInstance;
            *writer = DirectoryWriter;
            *name = SysAllocString(WriterName);
            *usage = VSS_UT_SYSTEMSERVICE;
            *source = VSS_ST_TRANSACTEDDB;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetFileCounts(UINT* includes, UINT* excludes, UINT* components) override
        {
            *includes = 0;
            *excludes = 0;
            *components = 1;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetIncludeFile(UINT, IVssWMFiledesc**) override { return E_INVALIDARG; }
        HRESULT STDMETHODCALLTYPE GetExcludeFile(UINT, IVssWMFiledesc**) override { return E_INVALIDARG; }
        HRESULT STDMETHODCALLTYPE GetComponent(UINT index, IVssWMComponent** component) override
        {
            if (index != 0)
                return E_INVALIDARG;
            *component = new LabComponent();
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetRestoreMethod(VSS_RESTOREMETHOD_ENUM* method, BSTR* service, BSTR* userProcedure,
                                                   VSS_WRITERRESTORE_ENUM* writerRestore, boolean* rebootRequired,
                                                   UINT* mappings) override
        {
            *method = static_cast<VSS_RESTOREMETHOD_ENUM>(KnobNumber(L"RestoreMethod", VSS_RME_RESTORE_IF_CAN_REPLACE));
            *service = SysAllocString(L"NTDS");
            *userProcedure = nullptr;
            *writerRestore = VSS_WRE_ALWAYS;
            *rebootRequired = false;
            *mappings = Knob(L"AlternateLocation").empty() ? 0 : 1;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT index, IVssWMFiledesc** mapping) override
        {
            const std::wstring alternate = Knob(L"AlternateLocation");
            if (index != 0 || alternate.empty())
                return E_INVALIDARG;
            *mapping = new LabFiledesc(Folder, L"ntds.dit", alternate);
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetBackupSchema(DWORD* schema) override
        {
            *schema = 0;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetDocument(IXMLDOMDocument**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR* xml) override
        {
            const std::wstring document = L"<WRITER_METADATA lab=\"yes\" writerId=\"" + GuidText(DirectoryWriter) +
                                          L"\" instanceId=\"" + GuidText(WriterInstance) + L"\" friendlyName=\"" +
                                          WriterName + L"\"><DATABASE logicalPath=\"" + LogicalPath +
                                          L"\" componentName=\"" + ComponentName + L"\"/></WRITER_METADATA>";
            *xml = SysAllocString(document.c_str());
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE LoadFromXML(BSTR) override { return E_NOTIMPL; }
    };

    struct LabSnapshot
    {
        VSS_ID id;
        std::wstring volume;
        std::wstring folder;
    };

    class LabBackupComponents : public LabObject<IVssBackupComponents>
    {
    public:
        LabBackupComponents() { Log(L"CreateVssBackupComponents"); }
        ~LabBackupComponents() override
        {
            DeleteSnapshots();
            Log(L"Release");
        }

        HRESULT STDMETHODCALLTYPE GetWriterComponentsCount(UINT*) override { return Unserved(L"GetWriterComponentsCount"); }
        HRESULT STDMETHODCALLTYPE GetWriterComponents(UINT, IVssWriterComponentsExt**) override
        {
            return Unserved(L"GetWriterComponents");
        }
        HRESULT STDMETHODCALLTYPE InitializeForBackup(BSTR xml) override
        {
            if (const HRESULT hr = Call(L"InitializeForBackup", xml != nullptr ? L" (with a document)" : L""))
                return hr;
            if (m_mode != Mode::None)
                return VSS_E_BAD_STATE;
            m_mode = Mode::Backup;
            return Done(L"InitializeForBackup", S_OK);
        }
        HRESULT STDMETHODCALLTYPE SetBackupState(boolean selectComponents, boolean bootableSystemState,
                                                 VSS_BACKUP_TYPE type, boolean partialFiles) override
        {
            wchar_t details[80];
            wsprintfW(details, L" components=%d bootable=%d type=%d partial=%d", selectComponents, bootableSystemState,
                      type, partialFiles);
            if (const HRESULT hr = Call(L"SetBackupState", details))
                return hr;
            return Done(L"SetBackupState", m_mode == Mode::Backup ? S_OK : VSS_E_BAD_STATE);
        }
        HRESULT STDMETHODCALLTYPE InitializeForRestore(BSTR xml) override
        {
            if (const HRESULT hr = Call(L"InitializeForRestore", L""))
                return hr;
            if (m_mode != Mode::None)
                return VSS_E_BAD_STATE;
            // The document of a lab backup: it names the components it holds.
            const wchar_t* const labDocument = L"<BACKUP_COMPONENTS lab=\"yes\"";
            if (xml == nullptr || wcsncmp(xml, labDocument, wcslen(labDocument)) != 0)
                return VSS_E_INVALID_XML_DOCUMENT;
            m_restoreDocument = xml;
            m_mode = Mode::Restore;
            return Done(L"InitializeForRestore", S_OK);
        }
        HRESULT STDMETHODCALLTYPE SetRestoreState(VSS_RESTORE_TYPE) override { return Unserved(L"SetRestoreState"); }
        HRESULT STDMETHODCALLTYPE GatherWriterMetadata(IVssAsync** async) override
        {
            return Asynchronous(L"GatherWriterMetadata", L"", async, [this] {
                if (m_mode == Mode::None)
                    return VSS_E_BAD_STATE;
                m_metadataGathered = true;
                m_writerState = VSS_WS_STABLE;
                return S_OK;
            });
        }
        HRESULT STDMETHODCALLTYPE GetWriterMetadataCount(UINT* count) override
        {
            if (const HRESULT hr = Call(L"GetWriterMetadataCount", L""))
                return hr;
            if (!m_metadataGathered)
                return VSS_E_BAD_STATE;
            *count = 1;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetWriterMetadata(UINT index, VSS_ID* instance,
                                                    IVssExamineWriterMetadata** metadata) override
        {
            if (const HRESULT hr = Call(L"GetWriterMetadata", L""))
                return hr;
            if (!m_metadataGathered)
                return VSS_E_BAD_STATE;
            if (index != 0)
                return E_INVALIDARG;
            *instance = WriterInstance;
            *metadata = new LabWriterMetadata();
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE FreeWriterMetadata() override { return Call(L"FreeWriterMetadata", L""); }
        HRESULT STDMETHODCALLTYPE AddComponent(VSS_ID instance, VSS_ID writer, VSS_COMPONENT_TYPE type,
                                               LPCWSTR logicalPath, LPCWSTR name) override
        {
            if (const HRESULT hr = Call(L"AddComponent", L" " + GuidText(writer) + L" " + Text(logicalPath) + L" " +
                                                             Text(name)))
                return hr;
            if (m_mode != Mode::Backup || !m_metadataGathered)
                return VSS_E_BAD_STATE;
            if (!IsLabComponent(writer, type, logicalPath, name) || !IsEqualGUID(instance, WriterInstance))
                return VSS_E_OBJECT_NOT_FOUND;
            m_componentAdded = true;
            return Done(L"AddComponent", S_OK);
        }
        HRESULT STDMETHODCALLTYPE PrepareForBackup(IVssAsync** async) override
        {
            return Asynchronous(L"PrepareForBackup", L"", async, [this] {
                if (m_snapshotSet == GUID_NULL || !m_componentAdded || m_snapshots.empty())
                    return VSS_E_BAD_STATE;
                m_prepared = true;
                m_writerState = VSS_WS_WAITING_FOR_FREEZE;
                return S_OK;
            });
        }
        HRESULT STDMETHODCALLTYPE AbortBackup() override
        {
            if (const HRESULT hr = Call(L"AbortBackup", L""))
                return hr;
            DeleteSnapshots();
            m_writerState = VSS_WS_STABLE;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GatherWriterStatus(IVssAsync** async) override
        {
            return Asynchronous(L"GatherWriterStatus", L"", async, [this] {
                if (m_mode == Mode::None)
                    return VSS_E_BAD_STATE;
                m_statusGathered = true;
                return S_OK;
            });
        }
        HRESULT STDMETHODCALLTYPE GetWriterStatusCount(UINT* count) override
        {
            if (const HRESULT hr = Call(L"GetWriterStatusCount", L""))
                return hr;
            if (!m_statusGathered)
                return VSS_E_BAD_STATE;
            *count = 1;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE FreeWriterStatus() override
        {
            m_statusGathered = false;
            return Call(L"FreeWriterStatus", L"");
        }
        HRESULT STDMETHODCALLTYPE GetWriterStatus(UINT index, VSS_ID* instance, VSS_ID* writer, BSTR* name,
                                                  VSS_WRITER_STATE* state, HRESULT* failure) override
        {
            wchar_t details[64];
            wsprintfW(details, L" %s state=%d failure=0x%08lX", WriterName, m_writerState,
                      static_cast<unsigned long>(m_writerFailure));
            if (const HRESULT hr = Call(L"GetWriterStatus", details))
                return hr;
            if (!m_statusGathered)
                return VSS_E_BAD_STATE;
            if (index != 0)
                return E_INVALIDARG;
            *instance = WriterInstance;
            *writer = DirectoryWriter;
            *name = SysAllocString(WriterName);
            *state = m_writerState;
            *failure = m_writerFailure;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE SetBackupSucceeded(VSS_ID, VSS_ID writer, VSS_COMPONENT_TYPE type, LPCWSTR logicalPath,
                                                     LPCWSTR name, boolean succeeded) override
        {
            if (const HRESULT hr = Call(L"SetBackupSucceeded", L" " + Text(name) + (succeeded ? L" yes" : L" no")))
                return hr;
            if (!m_snapshotsTaken)
                return VSS_E_BAD_STATE;
            if (!IsLabComponent(writer, type, logicalPath, name))
                return VSS_E_OBJECT_NOT_FOUND;
            m_backupSucceeded = succeeded != 0;
            return Done(L"SetBackupSucceeded", S_OK);
        }
        HRESULT STDMETHODCALLTYPE SetBackupOptions(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR) override
        {
            return Unserved(L"SetBackupOptions");
        }
        HRESULT STDMETHODCALLTYPE SetSelectedForRestore(VSS_ID writer, VSS_COMPONENT_TYPE type, LPCWSTR logicalPath,
                                                        LPCWSTR name, boolean selected) override
        {
            if (const HRESULT hr = Call(L"SetSelectedForRestore", L" " + Text(name) + (selected ? L" yes" : L" no")))
                return hr;
            if (m_mode != Mode::Restore || !m_metadataGathered)
                return VSS_E_BAD_STATE;
            const std::wstring entry = L"<COMPONENT writerId=\"" + GuidText(writer) + L"\" name=\"" + Text(name) + L"\"";
            if (!IsLabComponent(writer, type, logicalPath, name) || m_restoreDocument.find(entry) == std::wstring::npos)
                return VSS_E_OBJECT_NOT_FOUND;
            m_selected = selected != 0;
            return Done(L"SetSelectedForRestore", S_OK);
        }
        HRESULT STDMETHODCALLTYPE SetRestoreOptions(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR) override
        {
            return Unserved(L"SetRestoreOptions");
        }
        HRESULT STDMETHODCALLTYPE SetAdditionalRestores(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, boolean) override
        {
            return Unserved(L"SetAdditionalRestores");
        }
        HRESULT STDMETHODCALLTYPE SetPreviousBackupStamp(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR) override
        {
            return Unserved(L"SetPreviousBackupStamp");
        }
        HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR* xml) override
        {
            if (const HRESULT hr = Call(L"SaveAsXML", L""))
                return hr;
            if (m_mode != Mode::Backup)
                return VSS_E_BAD_STATE;
            std::wstring document = L"<BACKUP_COMPONENTS lab=\"yes\" backupType=\"FULL\" bootableSystemState=\"yes\">";
            if (m_componentAdded)
                document += L"<COMPONENT writerId=\"" + GuidText(DirectoryWriter) + L"\" name=\"" + ComponentName +
                            L"\" logicalPath=\"" + LogicalPath + L"\" backupSucceeded=\"" +
                            (m_backupSucceeded ? L"yes" : L"no") + L"\"/>";
            document += L"</BACKUP_COMPONENTS>";
            *xml = SysAllocString(document.c_str());
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE BackupComplete(IVssAsync** async) override
        {
            return Asynchronous(L"BackupComplete", L"", async, [this] {
                if (!m_snapshotsTaken)
                    return VSS_E_BAD_STATE;
                m_writerState = VSS_WS_STABLE;
                return S_OK;
            });
        }
        HRESULT STDMETHODCALLTYPE AddAlternativeLocationMapping(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR,
                                                                LPCWSTR, boolean, LPCWSTR) override
        {
            return Unserved(L"AddAlternativeLocationMapping");
        }
        HRESULT STDMETHODCALLTYPE AddRestoreSubcomponent(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR,
                                                         boolean) override
        {
            return Unserved(L"AddRestoreSubcomponent");
        }
        HRESULT STDMETHODCALLTYPE SetFileRestoreStatus(VSS_ID writer, VSS_COMPONENT_TYPE type, LPCWSTR logicalPath,
                                                       LPCWSTR name, VSS_FILE_RESTORE_STATUS status) override
        {
            wchar_t details[32];
            wsprintfW(details, L" status=%d", status);
            if (const HRESULT hr = Call(L"SetFileRestoreStatus", L" " + Text(name) + details))
                return hr;
            if (!m_preRestored)
                return VSS_E_BAD_STATE;
            if (!IsLabComponent(writer, type, logicalPath, name))
                return VSS_E_OBJECT_NOT_FOUND;
            return Done(L"SetFileRestoreStatus", S_OK);
        }
        HRESULT STDMETHODCALLTYPE AddNewTarget(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, boolean,
                                               LPCWSTR) override
        {
            return Unserved(L"AddNewTarget");
        }
        HRESULT STDMETHODCALLTYPE SetRangesFilePath(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, UINT, LPCWSTR) override
        {
            return Unserved(L"SetRangesFilePath");
        }
        HRESULT STDMETHODCALLTYPE PreRestore(IVssAsync** async) override
        {
            return Asynchronous(L"PreRestore", L"", async, [this] {
                if (!m_selected)
                    return VSS_E_BAD_STATE;
                m_preRestored = true;
                return S_OK;
            });
        }
        HRESULT STDMETHODCALLTYPE PostRestore(IVssAsync** async) override
        {
            return Asynchronous(L"PostRestore", L"", async, [this] { return m_preRestored ? S_OK : VSS_E_BAD_STATE; });
        }
        HRESULT STDMETHODCALLTYPE SetContext(LONG) override { return Unserved(L"SetContext"); }
        HRESULT STDMETHODCALLTYPE StartSnapshotSet(VSS_ID* set) override
        {
            if (const HRESULT hr = Call(L"StartSnapshotSet", L""))
                return hr;
            if (m_mode != Mode::Backup || m_snapshotSet != GUID_NULL)
                return VSS_E_SNAPSHOT_SET_IN_PROGRESS;
            CoCreateGuid(&m_snapshotSet);
            *set = m_snapshotSet;
            return Done(L"StartSnapshotSet", S_OK);
        }
        HRESULT STDMETHODCALLTYPE AddToSnapshotSet(VSS_PWSZ volume, VSS_ID, VSS_ID* snapshot) override
        {
            if (const HRESULT hr = Call(L"AddToSnapshotSet", L" " + Text(volume)))
                return hr;
            if (m_snapshotSet == GUID_NULL || m_prepared)
                return VSS_E_BAD_STATE;
            // The lab's one volume is the system drive.
            if (lstrcmpiW(Text(volume).c_str(), L"C:\\") != 0)
                return VSS_E_VOLUME_NOT_SUPPORTED;
            for (const LabSnapshot& taken : m_snapshots)
                if (lstrcmpiW(taken.volume.c_str(), volume) == 0)
                    return VSS_E_OBJECT_ALREADY_EXISTS;
            LabSnapshot added;
            CoCreateGuid(&added.id);
            added.volume = volume;
            m_snapshots.push_back(added);
            *snapshot = added.id;
            return Done(L"AddToSnapshotSet", S_OK);
        }
        HRESULT STDMETHODCALLTYPE DoSnapshotSet(IVssAsync** async) override
        {
            return Asynchronous(L"DoSnapshotSet", L"", async, [this] {
                if (!m_prepared || m_snapshotsTaken)
                    return VSS_E_BAD_STATE;
                for (LabSnapshot& snapshot : m_snapshots)
                    Freeze(snapshot);
                m_snapshotsTaken = true;
                m_writerState = VSS_WS_WAITING_FOR_BACKUP_COMPLETE;
                if (KnobNumber(L"ChangeAfterSnapshot", 0) == 1)
                    ChangeDatabase();
                return S_OK;
            });
        }
        HRESULT STDMETHODCALLTYPE DeleteSnapshots(VSS_ID, VSS_OBJECT_TYPE, WINBOOL, LONG*, VSS_ID*) override
        {
            return Unserved(L"DeleteSnapshots");
        }
        HRESULT STDMETHODCALLTYPE ImportSnapshots(IVssAsync**) override { return Unserved(L"ImportSnapshots"); }
        HRESULT STDMETHODCALLTYPE BreakSnapshotSet(VSS_ID) override { return Unserved(L"BreakSnapshotSet"); }
        HRESULT STDMETHODCALLTYPE GetSnapshotProperties(VSS_ID id, VSS_SNAPSHOT_PROP* properties) override
        {
            if (const HRESULT hr = Call(L"GetSnapshotProperties", L""))
                return hr;
            if (!m_snapshotsTaken)
                return VSS_E_BAD_STATE;
            for (const LabSnapshot& snapshot : m_snapshots)
            {
                if (!IsEqualGUID(snapshot.id, id) || snapshot.folder.empty())
                    continue;
                *properties = VSS_SNAPSHOT_PROP();
                properties->m_SnapshotId = snapshot.id;
                properties->m_SnapshotSetId = m_snapshotSet;
                properties->m_lSnapshotsCount = static_cast<LONG>(m_snapshots.size());
                properties->m_pwszSnapshotDeviceObject = TaskString(snapshot.folder);
                properties->m_pwszOriginalVolumeName = TaskString(snapshot.volume);
                properties->m_pwszOriginatingMachine = TaskString(L"LAB");
                properties->m_pwszServiceMachine = TaskString(L"LAB");
                properties->m_ProviderId = LabProvider;
                properties->m_eStatus = VSS_SS_CREATED;
                return S_OK;
            }
            return VSS_E_OBJECT_NOT_FOUND;
        }
        HRESULT STDMETHODCALLTYPE Query(VSS_ID, VSS_OBJECT_TYPE, VSS_OBJECT_TYPE, IVssEnumObject**) override
        {
            return Unserved(L"Query");
        }
        HRESULT STDMETHODCALLTYPE IsVolumeSupported(VSS_ID, VSS_PWSZ, WINBOOL*) override
        {
            return Unserved(L"IsVolumeSupported");
        }
        HRESULT STDMETHODCALLTYPE DisableWriterClasses(const VSS_ID*, UINT) override
        {
            return Unserved(L"DisableWriterClasses");
        }
        HRESULT STDMETHODCALLTYPE EnableWriterClasses(const VSS_ID*, UINT) override
        {
            return Unserved(L"EnableWriterClasses");
        }
        HRESULT STDMETHODCALLTYPE DisableWriterInstances(const VSS_ID*, UINT) override
        {
            return Unserved(L"DisableWriterInstances");
        }
        HRESULT STDMETHODCALLTYPE ExposeSnapshot(VSS_ID, VSS_PWSZ, LONG, VSS_PWSZ, VSS_PWSZ*) override
        {
            return Unserved(L"ExposeSnapshot");
        }
        HRESULT STDMETHODCALLTYPE RevertToSnapshot(VSS_ID, WINBOOL) override { return Unserved(L"RevertToSnapshot"); }
        HRESULT STDMETHODCALLTYPE QueryRevertStatus(VSS_PWSZ, IVssAsync**) override
        {
            return Unserved(L"QueryRevertStatus");
        }

    private:
        enum class Mode
        {
            None,
            Backup,
            Restore,
        };

        static std::wstring Text(LPCWSTR text) { return text != nullptr ? text : L"(null)"; }

        static bool IsLabComponent(VSS_ID writer, VSS_COMPONENT_TYPE type, LPCWSTR logicalPath, LPCWSTR name)
        {
            return IsEqualGUID(writer, DirectoryWriter) && type == VSS_CT_DATABASE && logicalPath != nullptr &&
                   lstrcmpiW(logicalPath, LogicalPath) == 0 && name != nullptr && lstrcmpiW(name, ComponentName) == 0;
        }

        // Records the call; VSS_E_UNEXPECTED when FailAt names it (the call then does nothing).
        static HRESULT Call(const wchar_t* name, const std::wstring& details)
        {
            Log(name + details);
            return Knob(L"FailAt") == name ? VSS_E_UNEXPECTED : S_OK;
        }

        static HRESULT Unserved(const wchar_t* name)
        {
            Log(std::wstring(name) + L" (not served by the lab)");
            return E_NOTIMPL;
        }

        // After a call has done its work: the writer fails when WriterFailsAt names the call.
        HRESULT Done(const wchar_t* name, HRESULT result)
        {
            if (SUCCEEDED(result) && Knob(L"WriterFailsAt") == name)
            {
                m_writerState = FailedStateAt(name);
                m_writerFailure = static_cast<HRESULT>(KnobNumber(L"WriterFailure", VSS_E_WRITERERROR_RETRYABLE));
            }
            return result;
        }

        template <typename Work>
        HRESULT Asynchronous(const wchar_t* name, const std::wstring& details, IVssAsync** async, Work work)
        {
            HRESULT result = Call(name, details);
            if (SUCCEEDED(result))
                result = Done(name, work());
            *async = new LabAsync(result);
            return S_OK;
        }

        VSS_WRITER_STATE FailedStateAt(const std::wstring& name) const
        {
            if (name == L"GatherWriterMetadata")
                return VSS_WS_FAILED_AT_IDENTIFY;
            if (name == L"DoSnapshotSet")
                return VSS_WS_FAILED_AT_FREEZE;
            if (name == L"BackupComplete")
                return VSS_WS_FAILED_AT_BACKUP_COMPLETE;
            if (name == L"PostRestore")
                return VSS_WS_FAILED_AT_POST_RESTORE;
            return m_mode == Mode::Restore ? VSS_WS_FAILED_AT_PRE_RESTORE : VSS_WS_FAILED_AT_PREPARE_BACKUP;
        }

        // The writer's files of the snapshot's volume, as they are now, below the snapshot's folder.
        void Freeze(LabSnapshot& snapshot)
        {
            snapshot.folder = std::wstring(SnapshotRoot) + L"\\" + GuidText(snapshot.id);
            CreateFolders(snapshot.folder);
            for (const DescriptorList& list : AllFiles)
            {
                for (size_t i = 0; i < list.count; ++i)
                {
                    const Descriptor& descriptor = list.entries[i];
                    const std::wstring folder = Expand(descriptor.path);
                    if (folder.size() < 3 || lstrcmpiW(folder.substr(0, 3).c_str(), snapshot.volume.c_str()) != 0)
                        continue;
                    const std::wstring frozen = snapshot.folder + L"\\" + folder.substr(3);
                    CreateFolders(frozen);
                    WIN32_FIND_DATAW entry;
                    HANDLE search = FindFirstFileW((folder + L"\\" + descriptor.filespec).c_str(), &entry);
                    if (search == INVALID_HANDLE_VALUE)
                        continue;
                    do
                    {
                        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                            continue;
                        const std::wstring live = folder + L"\\" + entry.cFileName;
                        const std::wstring copy = frozen + L"\\" + entry.cFileName;
                        if (!CreateHardLinkW(copy.c_str(), live.c_str(), nullptr))
                            CopyFileW(live.c_str(), copy.c_str(), FALSE);
                    } while (FindNextFileW(search, &entry));
                    FindClose(search);
                }
            }
        }

        // The writer goes on working after the snapshot: its database grows. Written beside and
        // moved into place, so the frozen link keeps the old data.
        static void ChangeDatabase()
        {
            const std::wstring live = Expand(Folder) + L"\\ntds.dit";
            const std::wstring beside = live + L".lab";
            if (!CopyFileW(live.c_str(), beside.c_str(), FALSE))
                return;
            HANDLE file = CreateFileW(beside.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file != INVALID_HANDLE_VALUE)
            {
                const char change[] = "changed after the snapshot";
                DWORD written = 0;
                WriteFile(file, change, sizeof change - 1, &written, nullptr);
                CloseHandle(file);
            }
            MoveFileExW(beside.c_str(), live.c_str(), MOVEFILE_REPLACE_EXISTING);
        }

        void DeleteSnapshots()
        {
            for (const LabSnapshot& snapshot : m_snapshots)
                if (!snapshot.folder.empty())
                    DeleteTree(snapshot.folder);
            m_snapshots.clear();
        }

        Mode m_mode = Mode::None;
        bool m_metadataGathered = false;
        bool m_statusGathered = false;
        bool m_componentAdded = false;
        bool m_prepared = false;
        bool m_snapshotsTaken = false;
        bool m_backupSucceeded = false;
        bool m_selected = false;
        bool m_preRestored = false;
        VSS_ID m_snapshotSet = GUID_NULL;
        std::vector<LabSnapshot> m_snapshots;
        std::wstring m_restoreDocument;
        VSS_WRITER_STATE m_writerState = VSS_WS_STABLE;
        HRESULT m_writerFailure = S_OK;
    };
}

// Exported under the name of later systems and, through the .def file, under the C++ name of
// Windows Server 2003 (the 2003-shaped build has only the latter).
extern "C" HRESULT WINAPI LabCreateVssBackupComponents(IVssBackupComponents** backup)
{
    if (backup == nullptr)
        return E_INVALIDARG;
    *backup = new LabBackupComponents();
    return S_OK;
}
