#include "common/Handles.h"

#include <gtest/gtest.h>

#include <lm.h>

#include <stdexcept>
#include <thread>

namespace
{
    class Counted : public IUnknown
    {
    public:
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
        {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
        ULONG STDMETHODCALLTYPE Release() override { return --references; }
        ULONG references = 1;
    };

    template <typename Body>
    void OnFreshThread(Body body)
    {
        std::thread(body).join();
    }
}

TEST(UniqueHandle, OwnersCloseOnceKeepTheLastErrorAndReleaseWholeBlocks)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, raw);
    {
        UniqueKernelHandle owner(raw);
        UniqueKernelHandle moved(std::move(owner));
        EXPECT_FALSE(owner);
        EXPECT_EQ(raw, moved.get());
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(raw, 0));

    UniqueFileHandle file(CreateFileW(L"Z:\\no\\such\\dir\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file);

    void* block = VirtualAlloc(nullptr, 65536, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, block);
    UniqueVirtualMemory(block).reset();
    MEMORY_BASIC_INFORMATION information = {};
    ASSERT_NE(0u, VirtualQuery(block, &information, sizeof(information)));
    EXPECT_EQ(static_cast<DWORD>(MEM_FREE), information.State) << "the whole block is released";
}

TEST(UniqueVariant, HoldsItsOwnReferenceAndClearsOnceThroughMovesAndPut)
{
    Counted object;
    {
        UniqueVariant held = UniqueVariant::FromUnknown(&object);
        EXPECT_EQ(2u, object.references);
        UniqueVariant moved(std::move(held));
        EXPECT_EQ(VT_EMPTY, held.get().vt);
        EXPECT_EQ(2u, object.references);
        SetLastError(ERROR_FILE_NOT_FOUND);
        VARIANT* slot = moved.put();
        EXPECT_EQ(1u, object.references);
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
        EXPECT_EQ(VT_EMPTY, slot->vt);
        moved = UniqueVariant::FromUnknown(&object);
        EXPECT_EQ(2u, object.references);
    }
    EXPECT_EQ(1u, object.references);
}

TEST(ComApartment, BalancesExactlyItsOwnInitialisation)
{
    HRESULT inner = E_UNEXPECTED, refused = E_UNEXPECTED, afterwards = E_UNEXPECTED;
    bool refusedOwesNothing = false;
    OnFreshThread([&] {
        {
            ComApartment outer(COINIT_MULTITHREADED);
            ComApartment second(COINIT_MULTITHREADED);
            inner = second.Result();
            ComApartment other(COINIT_APARTMENTTHREADED);
            refused = other.Result();
            refusedOwesNothing = !other;
            ComApartment moved(std::move(second));
        }
        afterwards = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(afterwards))
            CoUninitialize();
    });
    EXPECT_EQ(S_FALSE, inner);
    EXPECT_EQ(RPC_E_CHANGED_MODE, refused);
    EXPECT_TRUE(refusedOwesNothing);
    // S_OK in the other model: every scope undid exactly its own initialisation.
    EXPECT_EQ(S_OK, afterwards);
}

namespace
{
    int g_removals = 0;
    std::wstring g_removedName;
    DWORD g_removalResult = 0;

    DWORD WINAPI RecordRemoval(wchar_t* server, wchar_t* name, DWORD reserved)
    {
        EXPECT_EQ(nullptr, server);
        EXPECT_EQ(0u, reserved);
        ++g_removals;
        g_removedName = name;
        return g_removalResult;
    }
}

TEST(UniqueNetShare, RemovesTheShareOnceOnEveryWayOut)
{
    g_removals = 0;
    g_removalResult = 0;
    try
    {
        UniqueNetShare share(RecordRemoval, L"LABCLUSTER");
        UniqueNetShare moved(std::move(share));
        throw std::runtime_error("a failed backup");
    }
    catch (const std::runtime_error&)
    {
    }
    EXPECT_EQ(1, g_removals) << "the moved-from owner removes nothing";
    EXPECT_EQ(L"LABCLUSTER", g_removedName);
    {
        UniqueNetShare share(RecordRemoval, L"LABCLUSTER");
        SetLastError(ERROR_BAD_NETPATH);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), GetLastError()) << "kept across the removal";
    EXPECT_EQ(2, g_removals);

    g_removals = 0;
    g_removalResult = NERR_NetNameNotFound;
    {
        UniqueNetShare share(RecordRemoval, L"CL1");
        EXPECT_EQ(static_cast<DWORD>(NERR_NetNameNotFound), share.reset()) << "the delete call's own result";
        EXPECT_EQ(0u, share.reset()) << "nothing held any more";
    }
    EXPECT_EQ(1, g_removals) << "a failed removal is not tried again";
}
