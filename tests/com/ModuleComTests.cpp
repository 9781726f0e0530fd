// The module as a backup application meets it: registered in a lab machine, created through
// COM, called through its vtable, through IDispatch and through the proxy from another
// apartment. Runs inside a lab machine (tests/lab/module_com.sh).

#include "SystemStateBackupRestore.h"

#include "common/Handles.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <string>
#include <thread>

namespace
{
    // Written out again on purpose: the registry must hold these exact values.
    const std::wstring ClassId = L"{281c38f0-601f-4462-83b3-087251a5dee1}";
    const std::wstring InterfaceId = L"{d811b91d-f179-4db8-a689-1871e44d7985}";
    const std::wstring TypeLibId = L"{0245d117-ff7c-4a46-9a76-6ba058787c60}";
    const std::wstring AppId = L"{e8ceb799-6dbb-47d6-a431-2226308faff7}";
    const wchar_t* const ProgId = L"Quillmark.Harborline.SystemStateBackupRestore";
    const wchar_t* const ProgIdVersion1 = L"Quillmark.Harborline.SystemStateBackupRestore.1";
    const wchar_t* const ClassName = L"SystemStateBackupRestore Class";

    std::wstring ModulePath()
    {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        PathRemoveFileSpecW(path);
        return std::wstring(path) + L"\\QmSystemStateBackupRestore.dll";
    }

    bool KeyExists(const std::wstring& key)
    {
        HKEY opened = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
            return false;
        RegCloseKey(opened);
        return true;
    }

    // The string value, or "<missing>" when the key or value is not there.
    std::wstring ReadValue(const std::wstring& key, const wchar_t* name = nullptr)
    {
        wchar_t data[1024] = {};
        DWORD size = sizeof(data) - sizeof(wchar_t);
        if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
            return L"<missing>";
        return data;
    }

    // "Error = 0x%08lX" and the system's own text, built here from FormatMessageW.
    std::wstring SystemErrorText(DWORD code)
    {
        wchar_t number[32];
        wsprintfW(number, L"Error = 0x%08lX", code);
        std::wstring text = number;
        wchar_t* message = nullptr;
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                                FORMAT_MESSAGE_IGNORE_INSERTS,
                                            nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                            reinterpret_cast<wchar_t*>(&message), 0, nullptr);
        if (message != nullptr)
        {
            if (length > 0)
                text += L" " + std::wstring(message, length);
            LocalFree(message);
        }
        return text;
    }

    class Bstr
    {
    public:
        Bstr() = default;
        explicit Bstr(const std::wstring& text) : m_value(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
        ~Bstr() { SysFreeString(m_value); }
        Bstr(const Bstr&) = delete;
        Bstr& operator=(const Bstr&) = delete;
        BSTR* operator&() { return &m_value; }
        BSTR get() const { return m_value; }
        std::wstring str() const { return m_value ? std::wstring(m_value, SysStringLen(m_value)) : L"<null>"; }

    private:
        BSTR m_value = nullptr;
    };

    // An options record over BSTRs that the test owns.
    struct Options
    {
        Bstr server, domain, user, password, directory, quorum;
        _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS record = {};

        explicit Options(const std::wstring& target) : directory(target)
        {
            record.m_bstrServerName = &server;
            record.m_bstrDomainName = &domain;
            record.m_bstrUserName = &user;
            record.m_bstrPassword = &password;
            record.m_bstrDirectory = &directory;
            record.m_bstrQuorumDriveLetter = &quorum;
        }
    };

    std::wstring ErrorOf(ISystemStateBackupRestore* object)
    {
        Bstr error;
        EXPECT_EQ(S_OK, object->GetError(&error));
        return error.str();
    }

    // A scratch folder under C:\qmtests, emptied first.
    std::wstring ScratchFolder(const std::wstring& name)
    {
        CreateDirectoryW(L"C:\\qmtests", nullptr);
        const std::wstring folder = L"C:\\qmtests\\" + name;
        std::wstring doubleNull = folder + L'\0';
        SHFILEOPSTRUCTW operation = {};
        operation.wFunc = FO_DELETE;
        operation.pFrom = doubleNull.c_str();
        operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
        SHFileOperationW(&operation);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str())) << "could not clean " << folder.c_str();
        return folder;
    }

    void WriteFile(const std::wstring& path, const char* text)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file) << path.c_str();
        DWORD written = 0;
        ::WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
        CloseHandle(file);
    }

    bool IsEmptyDirectory(const std::wstring& folder)
    {
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
               PathIsDirectoryEmptyW(folder.c_str());
    }

    class ComponentObject : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            SetEnvironmentVariableW(L"SAFEBOOT_OPTION", nullptr);
            CLSID classId = {};
            ASSERT_EQ(S_OK, CLSIDFromProgID(ProgId, &classId));
            ASSERT_EQ(S_OK, CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_ISystemStateBackupRestore,
                                             object.put_void()));
        }
        void TearDown() override { SetEnvironmentVariableW(L"SAFEBOOT_OPTION", nullptr); }

        ComPtr<ISystemStateBackupRestore> object;
    };
}

// ---- Registration -------------------------------------------------------------------------

TEST(Registration, ProgIdResolvesThroughCurVerToAClassKeyWithServerAndTypeLib)
{
    EXPECT_EQ(ClassName, ReadValue(ProgId));
    EXPECT_EQ(ClassId, ReadValue(std::wstring(ProgId) + L"\\CLSID"));
    EXPECT_EQ(ProgIdVersion1, ReadValue(std::wstring(ProgId) + L"\\CurVer"));
    EXPECT_EQ(ClassName, ReadValue(ProgIdVersion1));
    EXPECT_EQ(ClassId, ReadValue(std::wstring(ProgIdVersion1) + L"\\CLSID"));

    CLSID resolved = {};
    ASSERT_EQ(S_OK, CLSIDFromProgID(ProgId, &resolved));
    EXPECT_TRUE(IsEqualCLSID(CLSID_SystemStateBackupRestoreImpl, resolved));

    const std::wstring classKey = L"CLSID\\" + ClassId;
    EXPECT_EQ(ClassName, ReadValue(classKey));
    EXPECT_EQ(ProgIdVersion1, ReadValue(classKey + L"\\ProgID"));
    EXPECT_EQ(ProgId, ReadValue(classKey + L"\\VersionIndependentProgID"));
    EXPECT_TRUE(KeyExists(classKey + L"\\Programmable"));
    EXPECT_EQ(TypeLibId, ReadValue(classKey + L"\\TypeLib"));
    EXPECT_EQ(0, lstrcmpiW(ModulePath().c_str(), ReadValue(classKey + L"\\InprocServer32").c_str()))
        << ReadValue(classKey + L"\\InprocServer32").c_str();
    EXPECT_EQ(L"Free", ReadValue(classKey + L"\\InprocServer32", L"ThreadingModel"));
}

TEST(Registration, AppIdTypeLibraryAndMarshallingAreRegistered)
{
    EXPECT_EQ(L"Quillmark.Harborline.SystemStateBackupRestore", ReadValue(L"AppID\\" + AppId));
    EXPECT_EQ(AppId, ReadValue(L"AppID\\QmSystemStateBackupRestore.DLL", L"AppID"));

    ITypeLib* library = nullptr;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_SystemStateBackupRestoreLib, 1, 0, 0x409, &library));
    library->Release();
    EXPECT_NE(L"<missing>", ReadValue(L"Interface\\" + InterfaceId + L"\\ProxyStubClsid32"));
}

// Unregisters and registers again in this process, checking both states and that the thread
// locale survives each call.
TEST(Registration, UnregistrationRemovesClassKeyWholeButNeverTheRoots)
{
    HMODULE module = LoadLibraryW(ModulePath().c_str());
    ASSERT_NE(nullptr, module);
    using Entry = HRESULT(WINAPI*)();
    const auto unregisterServer = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
    const auto registerServer = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    ASSERT_NE(nullptr, unregisterServer);
    ASSERT_NE(nullptr, registerServer);

    // Something of someone else's below Programmable goes with it: the key is removed whole.
    const std::wstring programmable = L"CLSID\\" + ClassId + L"\\Programmable\\Extra";
    HKEY extra = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, programmable.c_str(), &extra));
    RegCloseKey(extra);

    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(german));
    EXPECT_EQ(S_OK, unregisterServer());
    EXPECT_EQ(german, GetThreadLocale());

    EXPECT_FALSE(KeyExists(L"CLSID\\" + ClassId));
    EXPECT_FALSE(KeyExists(ProgId));
    EXPECT_FALSE(KeyExists(ProgIdVersion1));
    EXPECT_FALSE(KeyExists(L"AppID\\" + AppId));
    EXPECT_FALSE(KeyExists(L"AppID\\QmSystemStateBackupRestore.DLL"));
    EXPECT_FALSE(KeyExists(L"Interface\\" + InterfaceId));
    EXPECT_FALSE(KeyExists(L"TypeLib\\" + TypeLibId));
    EXPECT_TRUE(KeyExists(L"AppID"));
    EXPECT_TRUE(KeyExists(L"CLSID"));
    CLSID resolved = {};
    EXPECT_NE(S_OK, CLSIDFromProgID(ProgId, &resolved));

    // A second unregistration finds nothing to remove and still succeeds.
    EXPECT_EQ(S_OK, unregisterServer());

    // The tests after this one create the object through the registration made here.
    EXPECT_EQ(S_OK, registerServer());
    EXPECT_EQ(german, GetThreadLocale());
    EXPECT_FALSE(KeyExists(programmable));
    EXPECT_TRUE(KeyExists(L"CLSID\\" + ClassId + L"\\Programmable"));

    SetThreadLocale(LOCALE_USER_DEFAULT);
    FreeLibrary(module);
}

TEST(Registration, ModuleUnloadsOnlyWhenNothingIsAlive)
{
    HMODULE module = LoadLibraryW(ModulePath().c_str());
    ASSERT_NE(nullptr, module);
    using CanUnload = HRESULT(WINAPI*)();
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const auto canUnloadNow = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    const auto getClassObject = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    ASSERT_NE(nullptr, canUnloadNow);
    ASSERT_NE(nullptr, getClassObject);

    EXPECT_EQ(S_OK, canUnloadNow());
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject(CLSID_SystemStateBackupRestoreImpl, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    ISystemStateBackupRestore* object = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ISystemStateBackupRestore, reinterpret_cast<void**>(&object)));
    factory.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow());
    object->Release();
    EXPECT_EQ(S_OK, canUnloadNow());

    ASSERT_EQ(S_OK, getClassObject(CLSID_SystemStateBackupRestoreImpl, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow());
    ASSERT_EQ(S_OK, getClassObject(CLSID_SystemStateBackupRestoreImpl, IID_IClassFactory, factory.put_void()));
    factory->LockServer(FALSE);
    factory.reset();
    EXPECT_EQ(S_OK, canUnloadNow());

    // A live proxy/stub factory keeps the module too: its code runs while it is held.
    ComPtr<IPSFactoryBuffer> proxyFactory;
    ASSERT_EQ(S_OK, getClassObject(IID_ISystemStateBackupRestore, IID_IPSFactoryBuffer, proxyFactory.put_void()));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    proxyFactory.reset();
    EXPECT_EQ(S_OK, canUnloadNow());

    void* unknownClass = nullptr;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IUnknown, IID_IClassFactory, &unknownClass));
    EXPECT_EQ(E_POINTER, getClassObject(CLSID_SystemStateBackupRestoreImpl, IID_IClassFactory, nullptr));
    FreeLibrary(module);
}

// ---- Type library and late binding ----------------------------------------------------------

TEST_F(ComponentObject, LateBindingFindsTheMethodsAndCallsThemByDispatchId)
{
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.put_void()));
    const wchar_t* names[] = {L"GetError", L"Initialize", L"Backup", L"IsActiveDirectoryServiceOnline", L"Restore",
                              L"IsActiveDirectoryRestoreMode"};
    for (DISPID expected = 1; expected <= 6; ++expected)
    {
        LPOLESTR name = const_cast<LPOLESTR>(names[expected - 1]);
        DISPID id = 0;
        EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id)) << names[expected - 1];
        EXPECT_EQ(expected, id) << names[expected - 1];
    }

    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(S_OK, dispatch->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr, nullptr));

    // A failure read back through GetError's DISPID.
    Options options(L"");
    ASSERT_EQ(E_FAIL, object->Backup(&options.record));
    ASSERT_EQ(S_OK, dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr, nullptr));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(ErrorOf(object.get()), std::wstring(result.bstrVal, SysStringLen(result.bstrVal)));
    VariantClear(&result);
}

// ---- Creation -----------------------------------------------------------------------------

namespace
{
    // A minimal outer object that aggregates the component object.
    class Outer : public IUnknown
    {
    public:
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
        {
            if (IsEqualIID(riid, IID_IUnknown))
            {
                *object = this;
                AddRef();
                return S_OK;
            }
            return inner ? inner->QueryInterface(riid, object) : E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
        ULONG STDMETHODCALLTYPE Release() override { return --references; }
        IUnknown* inner = nullptr;
        ULONG references = 1;
    };
}

TEST(Creation, AggregatedObjectDelegatesToItsOuterObject)
{
    Outer outer;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemStateBackupRestoreImpl, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&outer.inner)));
    ISystemStateBackupRestore* object = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_ISystemStateBackupRestore, reinterpret_cast<void**>(&object)));
    EXPECT_EQ(2u, outer.references) << "the interface's reference belongs to the outer object";

    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
    identity->Release();
    EXPECT_EQ(S_OK, object->Initialize());
    object->Release();
    EXPECT_EQ(1u, outer.references);
    EXPECT_EQ(0u, outer.inner->Release());

    void* refused = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_SystemStateBackupRestoreImpl, &outer, CLSCTX_INPROC_SERVER,
                                                      IID_ISystemStateBackupRestore, &refused));
}

// Calls from a single-threaded apartment reach the free-threaded object through the merged
// proxy/stub, options record included.
TEST(Creation, CallsFromAnApartmentThreadAreMarshalledWithTheRecord)
{
    const std::wstring target = ScratchFolder(L"marshalled");
    HRESULT created = E_UNEXPECTED, backedUp = E_UNEXPECTED, failed = E_UNEXPECTED;
    std::wstring error;
    std::thread apartment([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            ComPtr<ISystemStateBackupRestore> object;
            created = CoCreateInstance(CLSID_SystemStateBackupRestoreImpl, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_ISystemStateBackupRestore, object.put_void());
            if (SUCCEEDED(created))
            {
                Options options(target);
                backedUp = object->Backup(&options.record);
                Options missingParent(target + L"\\no\\such");
                failed = object->Backup(&missingParent.record);
                Bstr text;
                object->GetError(&text);
                error = text.str();
            }
        }
        CoUninitialize();
    });
    apartment.join();
    ASSERT_EQ(S_OK, created);
    EXPECT_EQ(S_OK, backedUp);
    EXPECT_TRUE(IsEmptyDirectory(target));
    EXPECT_EQ(E_FAIL, failed);
    EXPECT_EQ(L"CreateDirectory failed: " + SystemErrorText(ERROR_PATH_NOT_FOUND), error);
}

// A careless caller gets a failure, never a crash in its own process.
TEST_F(ComponentObject, NullPointersAreRefusedNotFollowed)
{
    EXPECT_EQ(S_OK, object->GetError(nullptr));
    EXPECT_EQ(E_FAIL, object->Backup(nullptr));
    const std::wstring noRecord = ErrorOf(object.get());
    EXPECT_NE(L"<null>", noRecord);
    EXPECT_EQ(E_FAIL, object->Restore(nullptr));
    EXPECT_NE(noRecord, ErrorOf(object.get()));
    EXPECT_EQ(E_FAIL, object->IsActiveDirectoryRestoreMode(nullptr));
    EXPECT_EQ(E_FAIL, object->IsActiveDirectoryServiceOnline(nullptr, nullptr));
    EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IDispatch, nullptr));

    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.put_void()));
    EXPECT_EQ(E_POINTER, dispatch->GetTypeInfoCount(nullptr));
    EXPECT_EQ(E_POINTER, dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr));
    DISPID id = 0;
    EXPECT_TRUE(FAILED(dispatch->GetIDsOfNames(IID_NULL, nullptr, 1, LOCALE_USER_DEFAULT, &id)));
    LPOLESTR name = const_cast<LPOLESTR>(L"Backup");
    EXPECT_TRUE(FAILED(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, nullptr)));
    EXPECT_TRUE(FAILED(dispatch->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, nullptr, nullptr, nullptr,
                                        nullptr)));

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_SystemStateBackupRestoreImpl, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_ISystemStateBackupRestore, nullptr));
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IClassFactory, nullptr));
}

// ---- GetError -----------------------------------------------------------------------------

TEST_F(ComponentObject, GetErrorLeavesTheCallersValueThenKeepsTheLastFailure)
{
    Bstr mine(L"caller's own");
    const BSTR before = mine.get();
    EXPECT_EQ(S_OK, object->GetError(&mine));
    EXPECT_EQ(before, mine.get());
    EXPECT_EQ(L"caller's own", mine.str());

    // Once something failed, successful calls keep its text.
    Options broken(L"");
    ASSERT_EQ(E_FAIL, object->Backup(&broken.record));
    const std::wstring failure = ErrorOf(object.get());

    Options fine(ScratchFolder(L"keeps-error"));
    ASSERT_EQ(S_OK, object->Backup(&fine.record));
    EXPECT_EQ(S_OK, object->Initialize());
    VARIANT_BOOL mode = VARIANT_TRUE;
    EXPECT_EQ(S_OK, object->IsActiveDirectoryRestoreMode(&mode));
    EXPECT_EQ(failure, ErrorOf(object.get()));
}

// ---- Backup -------------------------------------------------------------------------------

TEST_F(ComponentObject, BackupEmptiesAnExistingTarget)
{
    const std::wstring target = ScratchFolder(L"existing");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    WriteFile(target + L"\\old.txt", "old backup");
    // An earlier backup, known by its manifest.
    WriteFile(target + L"\\RegistryBackupSet.xml", "<BackupSet/>");
    ASSERT_TRUE(CreateDirectoryW((target + L"\\Reg").c_str(), nullptr));
    WriteFile(target + L"\\Reg\\SYSTEM", "hive");
    WriteFile(target + L"\\readonly.txt", "kept?");
    SetFileAttributesW((target + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    Options options(target);
    ASSERT_EQ(S_OK, object->Backup(&options.record)) << ErrorOf(object.get()).c_str();
    EXPECT_TRUE(IsEmptyDirectory(target));
}

TEST_F(ComponentObject, BackupIntoAMissingParentFailsBeforeAnyComponent)
{
    const std::wstring parent = ScratchFolder(L"no-parent");
    Options options(parent + L"\\deeper\\target");
    // Asked for, these would fail differently if they ran.
    options.record.m_bCoreBootSystemFiles = VARIANT_TRUE;
    options.record.m_bRegistryService = VARIANT_TRUE;
    options.record.m_bCOMDatabase = VARIANT_TRUE;
    ASSERT_EQ(E_FAIL, object->Backup(&options.record));
    EXPECT_EQ(L"CreateDirectory failed: " + SystemErrorText(ERROR_PATH_NOT_FOUND), ErrorOf(object.get()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(parent.c_str()));
}

TEST_F(ComponentObject, BackupWithoutADirectoryFailsThroughTheGuard)
{
    const std::wstring expected = L"An exception occurred in Backup:\nFileSystemException ERROR: Directory cannot be empty\n" +
                                  SystemErrorText(static_cast<DWORD>(E_FAIL));
    Options empty(L"");
    EXPECT_EQ(E_FAIL, object->Backup(&empty.record));
    EXPECT_EQ(expected, ErrorOf(object.get()));

    // A null BSTR reads as an empty string.
    Options null(L"");
    SysFreeString(*null.record.m_bstrDirectory);
    *null.record.m_bstrDirectory = nullptr;
    EXPECT_EQ(E_FAIL, object->Backup(&null.record));
    EXPECT_EQ(expected, ErrorOf(object.get()));
}

TEST_F(ComponentObject, BackupSkipsComponentsTheMachineDoesNotHave)
{
    // Not a domain controller, no cluster, and no server named for Certificate Services.
    Options options(ScratchFolder(L"gated"));
    options.record.m_bActiveDirectory = VARIANT_TRUE;
    options.record.m_bSystemVolume = VARIANT_TRUE;
    options.record.m_bCertificateServices = VARIANT_TRUE;
    options.record.m_bClusterDatabase = VARIANT_TRUE;
    options.record.m_bTruncateLogs = VARIANT_TRUE;
    EXPECT_EQ(S_OK, object->Backup(&options.record)) << ErrorOf(object.get()).c_str();
}

TEST_F(ComponentObject, BackupStopsAtTheFirstFailingComponent)
{
    // The core boot files run first; nothing after them may run once they fail.
    Options options(ScratchFolder(L"first-failure"));
    options.record.m_bCoreBootSystemFiles = 1;  // any nonzero value is true
    options.record.m_bRegistryService = VARIANT_TRUE;
    options.record.m_bCOMDatabase = VARIANT_TRUE;
    ASSERT_EQ(E_FAIL, object->Backup(&options.record));
    const std::wstring error = ErrorOf(object.get());
    EXPECT_EQ(0u, error.find(L"An exception occurred in Backup:\nCoreBootSystemFiles")) << error.c_str();
    EXPECT_EQ(std::wstring::npos, error.find(L"Registry")) << error.c_str();
    const std::wstring tail = L"\n" + SystemErrorText(static_cast<DWORD>(E_FAIL));
    ASSERT_GE(error.size(), tail.size());
    EXPECT_EQ(tail, error.substr(error.size() - tail.size()));
}

// ---- Restore ------------------------------------------------------------------------------

TEST_F(ComponentObject, RestoreNeitherChecksNorCreatesTheTarget)
{
    const std::wstring target = ScratchFolder(L"restore-untouched");
    Options options(target);
    options.record.m_bActiveDirectory = VARIANT_TRUE;   // restore mode only
    options.record.m_bSystemVolume = VARIANT_TRUE;      // restore mode only
    options.record.m_bClusterDatabase = VARIANT_TRUE;   // cluster nodes only
    options.record.m_bCertificateServices = VARIANT_TRUE;  // no server named
    EXPECT_EQ(S_OK, object->Restore(&options.record)) << ErrorOf(object.get()).c_str();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(target.c_str()));
}

TEST_F(ComponentObject, RestoreModeBringsInTheDirectoryRestores)
{
    ASSERT_TRUE(SetEnvironmentVariableW(L"SAFEBOOT_OPTION", L"DSREPAIR"));
    Options options(ScratchFolder(L"restore-mode"));
    options.record.m_bSystemVolume = VARIANT_TRUE;
    ASSERT_EQ(E_FAIL, object->Restore(&options.record));
    EXPECT_EQ(0u, ErrorOf(object.get()).find(L"An exception occurred in Restore:\nSystemVolume")) << ErrorOf(object.get()).c_str();
}

// ---- The two questions ----------------------------------------------------------------------

TEST_F(ComponentObject, RestoreModeIsExactlyDsrepair)
{
    const struct
    {
        const wchar_t* value;
        VARIANT_BOOL expected;
    } cases[] = {{nullptr, VARIANT_FALSE},      {L"DSREPAIR", VARIANT_TRUE}, {L"dsrepair", VARIANT_FALSE},
                 {L"DSREPAIR ", VARIANT_FALSE}, {L"MINIMAL", VARIANT_FALSE}, {L"", VARIANT_FALSE}};
    for (const auto& test : cases)
    {
        SetEnvironmentVariableW(L"SAFEBOOT_OPTION", test.value);
        VARIANT_BOOL answer = 0x1234;
        EXPECT_EQ(S_OK, object->IsActiveDirectoryRestoreMode(&answer)) << (test.value ? test.value : L"(unset)");
        EXPECT_EQ(test.expected, answer) << (test.value ? test.value : L"(unset)");
    }
}

TEST_F(ComponentObject, DirectoryServiceQuestionFailsWithoutTouchingTheAnswer)
{
    Bstr server(L"");
    VARIANT_BOOL answer = 0x1234;
    ASSERT_EQ(E_FAIL, object->IsActiveDirectoryServiceOnline(&server, &answer));
    EXPECT_EQ(0x1234, answer);
    const std::wstring error = ErrorOf(object.get());
    EXPECT_EQ(0u, error.find(L"An exception occurred in IsActiveDirectoryServiceOnline:\nActiveDirectoryException ERROR: "))
        << error.c_str();
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 3;
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
