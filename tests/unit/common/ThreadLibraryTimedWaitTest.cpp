#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

// The thread library's timed waits measure time through the import slot that the build fills
// (src/runtime): a wait for a mutex that stays held must end, unsuccessful.
TEST(ThreadLibraryTimedWait, AWaitForAHeldMutexEndsWithoutIt)
{
    std::timed_mutex mutex;
    mutex.lock();
    bool acquired = true;
    std::thread waiter([&] { acquired = mutex.try_lock_for(std::chrono::milliseconds(50)); });
    waiter.join();
    mutex.unlock();
    EXPECT_FALSE(acquired);
}
