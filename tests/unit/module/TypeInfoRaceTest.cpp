// The object is free-threaded: late-bound callers on several threads may be the first to need its
// type information at the same moment. The module is loaded from the build tree and its objects
// made through its class factory, as COM would.

#include "common/Handles.h"
#include "common/LabProcess.h"

#include "SystemStateBackupRestore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace
{
    constexpr int Objects = 50;
    constexpr int Threads = 2;

    struct Shared
    {
        IDispatch* object = nullptr;
        std::atomic<int> ready{0};
        std::atomic<int> failures{0};
    };

    // Names to identifiers, then a call by identifier: each must answer as the type library says.
    DWORD WINAPI CallLateBound(void* parameter)
    {
        Shared& shared = *static_cast<Shared*>(parameter);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        // Both threads running before either calls: an event would wake them one after the other.
        ++shared.ready;
        while (shared.ready < Threads)
            YieldProcessor();
        LPOLESTR names[] = {const_cast<LPOLESTR>(L"Initialize")};
        DISPID id = 0;
        if (shared.object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id) != S_OK || id != 2)
            ++shared.failures;
        DISPPARAMS none = {};
        if (shared.object->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr) !=
            S_OK)
            ++shared.failures;
        CoUninitialize();
        return 0;
    }
}

TEST(TypeInfo, FirstLateBoundCallsOnManyThreadsAtOnceAllSucceed)
{
    UniqueLibrary module(LoadLibraryW((Lab::BuildRoot() + L"\\src\\module\\QmSystemStateBackupRestore.dll").c_str()));
    ASSERT_TRUE(module);
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const auto getClassObject =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module.get(), "DllGetClassObject")));
    ASSERT_NE(nullptr, getClassObject);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject(CLSID_SystemStateBackupRestoreImpl, IID_IClassFactory, factory.put_void()));

    // Every object holds the library through its type information and lets go of it when it goes:
    // the library's count of references is the same before and after the races.
    ComPtr<IDispatch> witness;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, witness.put_void()));
    ComPtr<ITypeInfo> typeInfo;
    ASSERT_EQ(S_OK, witness->GetTypeInfo(0, LOCALE_USER_DEFAULT, typeInfo.put()));
    ComPtr<ITypeLib> library;
    UINT index = 0;
    ASSERT_EQ(S_OK, typeInfo->GetContainingTypeLib(library.put(), &index));
    const ULONG referencesBefore = library->AddRef();
    library->Release();

    int failures = 0;
    for (int round = 0; round < Objects; ++round)
    {
        ComPtr<IDispatch> object;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()));
        Shared shared;
        shared.object = object.get();
        std::vector<UniqueKernelHandle> threads;
        for (int thread = 0; thread < Threads; ++thread)
        {
            threads.emplace_back(CreateThread(nullptr, 0, CallLateBound, &shared, 0, nullptr));
            ASSERT_TRUE(threads.back());
        }
        for (const UniqueKernelHandle& thread : threads)
            WaitForSingleObject(thread.get(), INFINITE);
        failures += shared.failures;
    }
    EXPECT_EQ(0, failures) << "late-bound calls that failed, of " << Objects * Threads * 2;
    const ULONG referencesAfter = library->AddRef();
    library->Release();
    EXPECT_EQ(referencesBefore, referencesAfter);
    factory.reset();
}
