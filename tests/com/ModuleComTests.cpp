// The module as a backup application meets it in a lab machine (tests/lab/module_com.sh): created
// through COM, called through its vtable, IDispatch and the proxy from another apartment. What
// ssbr drives end to end (gated components, emptied targets, restore mode) is left to ssbr.sh.

#include "SystemStateBackupRestore.h"

#include "common/ScratchDirectory.h"

#include <thread>

namespace
{
    // Written out again on purpose: the keys unregistration must remove. (That registration
    // works is shown by every test that creates the object, ssbr.sh's included.)
    const String ProgId = L"Quillmark.Harborline.SystemStateBackupRestore";
    const String ClassKey = L"CLSID\\{281c38f0-601f-4462-83b3-087251a5dee1}";

    bool KeyExists(const String& key)
    {
        UniqueRegKey opened;
        return RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
    }

    // A record naming only its target: each text field points at a string of its own.
    struct Options
    {
        UniqueBstr server, domain, user, password, directory, quorum;
        _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS record = {server.put(), domain.put(), user.put(), password.put(),
                                                       directory.put(), 0, 0, 0, 0, 0, 0, 0, 0, 0, quorum.put()};
        explicit Options(const String& target) { *directory.put() = SysAllocString(target.c_str()); }
    };

    String ErrorOf(ISystemStateBackupRestore* object)
    {
        UniqueBstr error;
        EXPECT_EQ(S_OK, object->GetError(error.put()));
        return error ? String(error.get(), SysStringLen(error.get())) : L"<null>";
    }

    struct ComponentObject : ::testing::Test
    {
        void SetUp() override
        {
            ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemStateBackupRestoreImpl, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_ISystemStateBackupRestore, object.put_void()));
        }
        ComPtr<ISystemStateBackupRestore> object;
    };
}

// Unregisters and registers again (the thread locale survives both), then holds the module.
TEST(Registration, UnregistersWholeKeysButNeverTheRootsAndUnloadsOnlyWhenNothingIsAlive)
{
    UniqueLibrary module(LoadLibraryW(L"QmSystemStateBackupRestore.dll")); // beside this program
    using Entry = HRESULT(WINAPI*)();
    const auto unregisterServer = GetProc<Entry>(module.get(), "DllUnregisterServer");
    const auto registerServer = GetProc<Entry>(module.get(), "DllRegisterServer");
    const auto canUnloadNow = GetProc<Entry>(module.get(), "DllCanUnloadNow");
    const auto getClassObject = GetProc<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(module.get(), "DllGetClassObject");
    ASSERT_TRUE(unregisterServer && registerServer && canUnloadNow && getClassObject);

    // Something of someone else's below Programmable goes with it: the key is removed whole.
    const String programmable = ClassKey + L"\\Programmable\\Extra";
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, programmable.c_str(), UniqueRegKey().put()));

    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const ThreadLocaleScope locale(german);
    EXPECT_EQ(S_OK, unregisterServer());
    EXPECT_EQ(german, GetThreadLocale());
    for (const String& key : {ClassKey, ProgId, ProgId + L".1", String(L"AppID\\{e8ceb799-6dbb-47d6-a431-2226308faff7}"),
                              String(L"AppID\\QmSystemStateBackupRestore.DLL"),
                              String(L"Interface\\{d811b91d-f179-4db8-a689-1871e44d7985}"),
                              String(L"TypeLib\\{0245d117-ff7c-4a46-9a76-6ba058787c60}")})
        EXPECT_FALSE(KeyExists(key)) << Strings::ToUtf8(key);
    EXPECT_TRUE(KeyExists(L"AppID") && KeyExists(L"CLSID"));
    // A second unregistration finds nothing to remove and still succeeds.
    EXPECT_EQ(S_OK, unregisterServer());
    // The tests after this one create the object through the registration made here.
    EXPECT_EQ(S_OK, registerServer());
    EXPECT_EQ(german, GetThreadLocale());
    EXPECT_FALSE(KeyExists(programmable));
    EXPECT_TRUE(KeyExists(ClassKey + L"\\Programmable"));

    EXPECT_EQ(S_OK, canUnloadNow());
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject(CLSID_SystemStateBackupRestoreImpl, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    // A careless caller gets a failure, and no object is left behind to keep the module.
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_ISystemStateBackupRestore, nullptr));
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IClassFactory, nullptr));
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
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IUnknown, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(E_POINTER, getClassObject(CLSID_SystemStateBackupRestoreImpl, IID_IClassFactory, nullptr));
}

// GetError reads the last failure, late bound too. A careless caller gets a failure, never a crash
// in its own process, and a failed call leaves the answer alone.
TEST_F(ComponentObject, GetErrorReadsTheLastFailureAndNullPointersAreRefused)
{
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.put_void()));
    DISPID ids[2] = {};
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Initialize"), const_cast<LPOLESTR>(L"GetError")};
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, &names[i], 1, LOCALE_USER_DEFAULT, &ids[i]));
    // Before any failure the caller's value is left alone.
    UniqueBstr mine(SysAllocString(L"caller's own"));
    BSTR value = mine.get();
    EXPECT_EQ(S_OK, object->GetError(&value));
    EXPECT_EQ(mine.get(), value);
    // A null directory BSTR reads as an empty one.
    const String expected = L"An exception occurred in Backup:\nFileSystemException ERROR: Directory cannot be empty\n" +
                            SystemErrorText(static_cast<DWORD>(E_FAIL));
    Options empty(L"");
    EXPECT_EQ(E_FAIL, object->Backup(&empty.record));
    EXPECT_EQ(expected, ErrorOf(object.get()));
    empty.directory.reset();
    EXPECT_EQ(E_FAIL, object->Backup(&empty.record));
    // Successful calls keep the text.
    ScratchDirectory scratch;
    Options fine(scratch / L"new");
    EXPECT_EQ(S_OK, object->Backup(&fine.record));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    UniqueVariant result;
    for (DISPID id : ids)
        ASSERT_EQ(S_OK, dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, result.put(), nullptr,
                                         nullptr));
    ASSERT_EQ(VT_BSTR, result.get().vt);
    EXPECT_EQ(expected, String(result.get().bstrVal, SysStringLen(result.get().bstrVal)));

    UniqueBstr server(SysAllocString(L""));
    BSTR name = server.get();
    VARIANT_BOOL answer = 0x1234;
    ASSERT_EQ(E_FAIL, object->IsActiveDirectoryServiceOnline(&name, &answer));
    EXPECT_EQ(0x1234, answer);
    EXPECT_EQ(S_OK, object->GetError(nullptr));
    EXPECT_EQ(E_FAIL, object->Backup(nullptr));
    EXPECT_EQ(L"Backup: no options record was given.", ErrorOf(object.get()));
    EXPECT_EQ(E_FAIL, object->Restore(nullptr));
    EXPECT_EQ(L"Restore: no options record was given.", ErrorOf(object.get()));
    EXPECT_EQ(E_FAIL, object->IsActiveDirectoryRestoreMode(nullptr));
    EXPECT_EQ(E_FAIL, object->IsActiveDirectoryServiceOnline(nullptr, nullptr));
    EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IDispatch, nullptr));
    EXPECT_EQ(E_POINTER, dispatch->GetTypeInfoCount(nullptr));
    EXPECT_EQ(E_POINTER, dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr));
    EXPECT_TRUE(FAILED(dispatch->GetIDsOfNames(IID_NULL, nullptr, 1, LOCALE_USER_DEFAULT, ids)));
    EXPECT_TRUE(FAILED(dispatch->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, nullptr, nullptr, nullptr,
                                        nullptr)));
}

// From a single-threaded apartment through the merged proxy/stub, options record included.
TEST(Creation, CallsFromAnApartmentThreadAreMarshalledWithTheRecord)
{
    ScratchDirectory scratch;
    HRESULT backedUp = E_UNEXPECTED;
    std::thread([&] {
        const ComApartment apartment(COINIT_APARTMENTTHREADED);
        ComPtr<ISystemStateBackupRestore> object;
        Options options(scratch / L"target");
        if (SUCCEEDED(CoCreateInstance(CLSID_SystemStateBackupRestoreImpl, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_ISystemStateBackupRestore, object.put_void())))
            backedUp = object->Backup(&options.record);
    }).join();
    EXPECT_EQ(S_OK, backedUp);
    EXPECT_TRUE(IsDirectoryOnDisk(scratch / L"target"));
}

// Unset and plain DSREPAIR are read through ssbr.sh's status report, and a restore in restore
// mode through the component scripts.
TEST_F(ComponentObject, RestoreModeIsExactlyDsrepair)
{
    for (const wchar_t* value : {L"dsrepair", L"DSREPAIR ", L"MINIMAL", L""})
    {
        SetEnvironmentVariableW(L"SAFEBOOT_OPTION", value);
        VARIANT_BOOL answer = 0x1234;
        EXPECT_EQ(S_OK, object->IsActiveDirectoryRestoreMode(&answer)) << value;
        EXPECT_EQ(VARIANT_FALSE, answer) << value;
    }
    SetEnvironmentVariableW(L"SAFEBOOT_OPTION", nullptr);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const ComApartment apartment(COINIT_MULTITHREADED);
    return apartment ? RUN_ALL_TESTS() : 3;
}
