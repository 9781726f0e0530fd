// The module as a backup application meets it in a lab machine (tests/lab/module_com.sh): created
// through COM, called through its vtable, IDispatch and the proxy from another apartment. What
// ssbr drives end to end (gated components, emptied targets, restore mode) is left to ssbr.sh.

#include "SystemStateBackupRestore.h"

#include "common/Handles.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <shlwapi.h>

#include <string>
#include <thread>

namespace
{
    // Written out again on purpose: the keys unregistration must remove. (That registration
    // works is shown by every test that creates the object, ssbr.sh's included; the registration
    // script's own literals are not restated here.)
    const String ClassId = L"{281c38f0-601f-4462-83b3-087251a5dee1}";
    const String InterfaceId = L"{d811b91d-f179-4db8-a689-1871e44d7985}";
    const String TypeLibId = L"{0245d117-ff7c-4a46-9a76-6ba058787c60}";
    const String AppId = L"{e8ceb799-6dbb-47d6-a431-2226308faff7}";
    const String ProgId = L"Quillmark.Harborline.SystemStateBackupRestore";
    const String ProgIdVersion1 = ProgId + L".1";
    const String ClassKey = L"CLSID\\" + ClassId;

    String ModulePath()
    {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        PathRemoveFileSpecW(path);
        return String(path) + L"\\QmSystemStateBackupRestore.dll";
    }

    bool KeyExists(const String& key)
    {
        UniqueRegKey opened;
        return RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
    }

    String Text(BSTR text) { return text != nullptr ? String(text, SysStringLen(text)) : L"<null>"; }

    // An options record over BSTRs that the test owns.
    struct Options
    {
        UniqueBstr server, domain, user, password, directory, quorum;
        _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS record = {};

        explicit Options(const String& target)
        {
            record.m_bstrServerName = server.put();
            record.m_bstrDomainName = domain.put();
            record.m_bstrUserName = user.put();
            record.m_bstrPassword = password.put();
            record.m_bstrDirectory = directory.put();
            *record.m_bstrDirectory = SysAllocString(target.c_str());
            record.m_bstrQuorumDriveLetter = quorum.put();
        }
    };

    String ErrorOf(ISystemStateBackupRestore* object)
    {
        UniqueBstr error;
        EXPECT_EQ(S_OK, object->GetError(error.put()));
        return Text(error.get());
    }

    // The module's entry point, from the module loaded into this process.
    template <typename Entry>
    Entry Export(HMODULE module, const char* name)
    {
        return reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }

    class ComponentObject : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            SetEnvironmentVariableW(L"SAFEBOOT_OPTION", nullptr);
            CLSID classId = {};
            ASSERT_EQ(S_OK, CLSIDFromProgID(ProgId.c_str(), &classId));
            ASSERT_EQ(S_OK, CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_ISystemStateBackupRestore,
                                             object.put_void()));
        }
        void TearDown() override { SetEnvironmentVariableW(L"SAFEBOOT_OPTION", nullptr); }

        ComPtr<ISystemStateBackupRestore> object;
    };
}

// ---- Registration -------------------------------------------------------------------------

// Unregisters and registers again in this process, checking both states and that the thread
// locale survives each call.
TEST(Registration, UnregistrationRemovesClassKeyWholeButNeverTheRoots)
{
    UniqueLibrary module(LoadLibraryW(ModulePath().c_str()));
    ASSERT_TRUE(module);
    using Entry = HRESULT(WINAPI*)();
    const auto unregisterServer = Export<Entry>(module.get(), "DllUnregisterServer");
    const auto registerServer = Export<Entry>(module.get(), "DllRegisterServer");
    ASSERT_TRUE(unregisterServer != nullptr && registerServer != nullptr);

    // Something of someone else's below Programmable goes with it: the key is removed whole.
    const String programmable = ClassKey + L"\\Programmable\\Extra";
    UniqueRegKey extra;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, programmable.c_str(), extra.put()));
    extra.reset();

    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(german));
    EXPECT_EQ(S_OK, unregisterServer());
    EXPECT_EQ(german, GetThreadLocale());
    for (const String& key : {ClassKey, ProgId, ProgIdVersion1, L"AppID\\" + AppId, String(L"AppID\\QmSystemStateBackupRestore.DLL"),
                              L"Interface\\" + InterfaceId, L"TypeLib\\" + TypeLibId})
        EXPECT_FALSE(KeyExists(key)) << Strings::ToUtf8(key);
    EXPECT_TRUE(KeyExists(L"AppID"));
    EXPECT_TRUE(KeyExists(L"CLSID"));
    CLSID resolved = {};
    EXPECT_NE(S_OK, CLSIDFromProgID(ProgId.c_str(), &resolved));
    // A second unregistration finds nothing to remove and still succeeds.
    EXPECT_EQ(S_OK, unregisterServer());

    // The tests after this one create the object through the registration made here.
    EXPECT_EQ(S_OK, registerServer());
    EXPECT_EQ(german, GetThreadLocale());
    EXPECT_FALSE(KeyExists(programmable));
    EXPECT_TRUE(KeyExists(ClassKey + L"\\Programmable"));
    SetThreadLocale(LOCALE_USER_DEFAULT);
}

TEST(Registration, ModuleUnloadsOnlyWhenNothingIsAlive)
{
    UniqueLibrary module(LoadLibraryW(ModulePath().c_str()));
    ASSERT_TRUE(module);
    const auto canUnloadNow = Export<HRESULT(WINAPI*)()>(module.get(), "DllCanUnloadNow");
    const auto getClassObject = Export<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(module.get(), "DllGetClassObject");
    ASSERT_TRUE(canUnloadNow != nullptr && getClassObject != nullptr);

    EXPECT_EQ(S_OK, canUnloadNow());
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject(CLSID_SystemStateBackupRestoreImpl, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    ComPtr<ISystemStateBackupRestore> object;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ISystemStateBackupRestore, object.put_void()));
    factory.reset();
    EXPECT_EQ(S_FALSE, canUnloadNow());
    object.reset();
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
}

// ---- Late binding and creation ----------------------------------------------------------------

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
    EXPECT_EQ(ErrorOf(object.get()), Text(result.bstrVal));
    VariantClear(&result);
}

// Calls from a single-threaded apartment reach the free-threaded object through the merged
// proxy/stub, options record included.
TEST(Creation, CallsFromAnApartmentThreadAreMarshalledWithTheRecord)
{
    ScratchDirectory scratch;
    const String target = scratch / L"target";
    HRESULT created = E_UNEXPECTED, backedUp = E_UNEXPECTED, failed = E_UNEXPECTED;
    String error;
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            ComPtr<ISystemStateBackupRestore> object;
            created = CoCreateInstance(CLSID_SystemStateBackupRestoreImpl, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_ISystemStateBackupRestore, object.put_void());
            if (SUCCEEDED(created))
            {
                Options options(target);
                backedUp = object->Backup(&options.record);
                // Asked for, these would fail differently if they ran before the target is made.
                Options missingParent(scratch / L"no\\such\\target");
                missingParent.record.m_bCoreBootSystemFiles = VARIANT_TRUE;
                missingParent.record.m_bRegistryService = VARIANT_TRUE;
                missingParent.record.m_bCOMDatabase = VARIANT_TRUE;
                failed = object->Backup(&missingParent.record);
                error = ErrorOf(object.get());
            }
        }
        CoUninitialize();
    }).join();
    ASSERT_EQ(S_OK, created);
    EXPECT_EQ(S_OK, backedUp);
    EXPECT_TRUE(PathIsDirectoryEmptyW(target.c_str()));
    EXPECT_EQ(E_FAIL, failed);
    EXPECT_EQ(L"CreateDirectory failed: " + SystemErrorText(ERROR_PATH_NOT_FOUND), error);
    EXPECT_FALSE(IsDirectoryOnDisk(scratch / L"no"));
}

// A careless caller gets a failure, never a crash in its own process.
TEST_F(ComponentObject, NullPointersAreRefusedNotFollowed)
{
    EXPECT_EQ(S_OK, object->GetError(nullptr));
    EXPECT_EQ(E_FAIL, object->Backup(nullptr));
    const String noRecord = ErrorOf(object.get());
    EXPECT_NE(L"<null>", noRecord);
    EXPECT_EQ(E_FAIL, object->Restore(nullptr));
    EXPECT_EQ(E_FAIL, object->IsActiveDirectoryRestoreMode(nullptr));
    EXPECT_EQ(E_FAIL, object->IsActiveDirectoryServiceOnline(nullptr, nullptr));
    EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IDispatch, nullptr));

    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.put_void()));
    EXPECT_EQ(E_POINTER, dispatch->GetTypeInfoCount(nullptr));
    EXPECT_EQ(E_POINTER, dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr));
    DISPID id = 0;
    EXPECT_TRUE(FAILED(dispatch->GetIDsOfNames(IID_NULL, nullptr, 1, LOCALE_USER_DEFAULT, &id)));
    EXPECT_TRUE(FAILED(dispatch->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, nullptr, nullptr, nullptr,
                                        nullptr)));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_SystemStateBackupRestoreImpl, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_ISystemStateBackupRestore, nullptr));
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IClassFactory, nullptr));
}

// ---- The calls ----------------------------------------------------------------------------

TEST_F(ComponentObject, GetErrorLeavesTheCallersValueThenKeepsTheLastFailure)
{
    UniqueBstr mine(SysAllocString(L"caller's own"));
    BSTR value = mine.get();
    EXPECT_EQ(S_OK, object->GetError(&value));
    EXPECT_EQ(mine.get(), value);
    EXPECT_EQ(L"caller's own", Text(value));

    // A missing directory fails through the guard; a null BSTR reads as an empty string.
    const String expected = L"An exception occurred in Backup:\nFileSystemException ERROR: Directory cannot be empty\n" +
                            SystemErrorText(static_cast<DWORD>(E_FAIL));
    Options empty(L"");
    EXPECT_EQ(E_FAIL, object->Backup(&empty.record));
    EXPECT_EQ(expected, ErrorOf(object.get()));
    empty.directory.reset();
    EXPECT_EQ(E_FAIL, object->Backup(&empty.record));
    EXPECT_EQ(expected, ErrorOf(object.get()));

    // Successful calls keep the text: a backup that empties an earlier backup, read-only files
    // and folders too (ssbr.sh checks a plain file, and the components a machine lacks).
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"RegistryBackupSet.xml", "<BackupSet/>");
    WriteTextFile(scratch / L"Reg\\SYSTEM", "hive");
    WriteTextFile(scratch / L"readonly.txt", "old backup");
    SetFileAttributesW((scratch / L"readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    Options fine(scratch.Path());
    EXPECT_EQ(S_OK, object->Backup(&fine.record));
    EXPECT_TRUE(PathIsDirectoryEmptyW(scratch.Path().c_str()));
    EXPECT_EQ(S_OK, object->Initialize());
    VARIANT_BOOL mode = VARIANT_TRUE;
    EXPECT_EQ(S_OK, object->IsActiveDirectoryRestoreMode(&mode));
    EXPECT_EQ(expected, ErrorOf(object.get()));
}

TEST_F(ComponentObject, RestoreModeIsExactlyDsrepairAndBringsInTheDirectoryRestores)
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
    ASSERT_TRUE(SetEnvironmentVariableW(L"SAFEBOOT_OPTION", L"DSREPAIR"));
    ScratchDirectory scratch;
    Options options(scratch.Path());
    options.record.m_bSystemVolume = VARIANT_TRUE;
    ASSERT_EQ(E_FAIL, object->Restore(&options.record));
    EXPECT_EQ(0u, ErrorOf(object.get()).find(L"An exception occurred in Restore:\nSystemVolume"))
        << Strings::ToUtf8(ErrorOf(object.get()));
}

TEST_F(ComponentObject, DirectoryServiceQuestionFailsWithoutTouchingTheAnswer)
{
    UniqueBstr server(SysAllocString(L""));
    BSTR name = server.get();
    VARIANT_BOOL answer = 0x1234;
    ASSERT_EQ(E_FAIL, object->IsActiveDirectoryServiceOnline(&name, &answer));
    EXPECT_EQ(0x1234, answer);
    EXPECT_EQ(0u, ErrorOf(object.get()).find(L"An exception occurred in IsActiveDirectoryServiceOnline:\n"
                                             L"ActiveDirectoryException ERROR: "))
        << Strings::ToUtf8(ErrorOf(object.get()));
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
