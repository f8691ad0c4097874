#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "unix/aMutex.h"
#include "unix/aThread.h"
#include "unix/aTime.h"

TEST(aThread, RunsTheProcedureAndJoins)
{
    std::atomic<int> value{0};
    aThreadRef thread = aThread_Create(
        [](void* ref) -> void* {
            static_cast<std::atomic<int>*>(ref)->store(42);
            return nullptr;
        },
        &value);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(value.load(), 42);  // the join waited for the procedure
    EXPECT_NE(aThread_Destroy(&thread), 0);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    aThread_Yield();
}

TEST(aMutex, NameLimits)
{
    std::string longest(255, 'm');
    aMutexRef mutex = aMutex_Create(longest.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Identifier(mutex), longest);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);

    std::string too_long(256, 'm');
    EXPECT_EQ(aMutex_Create(too_long.c_str()), nullptr);

    mutex = aMutex_Create(nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_STREQ(aMutex_Identifier(mutex), "");
    aMutex_Destroy(&mutex);
}

TEST(aMutex, NullHandles)
{
    aMutexRef mutex = nullptr;
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrParam);
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
}

namespace {

// Runs check(mutex) on another thread and returns its result.
aErr from_other_thread(aMutexRef mutex, aErr (*check)(aMutexRef))
{
    struct Call {
        aMutexRef mutex;
        aErr (*check)(aMutexRef);
        aErr result;
    } call{mutex, check, aErrUnknown};
    aThreadRef thread = aThread_Create(
        [](void* ref) -> void* {
            auto* c = static_cast<Call*>(ref);
            c->result = c->check(c->mutex);
            return nullptr;
        },
        &call);
    EXPECT_NE(thread, nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    return call.result;
}

}  // namespace

TEST(aMutex, SecondLockIsReportedInsteadOfHanging)
{
    aMutexRef mutex = aMutex_Create("aLink_Managed");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate);  // not recursive
    EXPECT_EQ(from_other_thread(mutex, aMutex_TryLock), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(aMutex, OnlyTheHolderMayUnlock)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer reports the deliberate misuse itself";
#endif
    aMutexRef mutex = aMutex_Create("holder");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);  // nobody holds it
    EXPECT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(from_other_thread(mutex, aMutex_Unlock), aErrPermission);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(aMutex, GuardsACounterAcrossThreads)
{
    struct Shared {
        aMutexRef mutex;
        long counter = 0;
    } shared{aMutex_Create("counter")};
    auto work = [](void* ref) -> void* {
        auto* s = static_cast<Shared*>(ref);
        for (int i = 0; i < 10000; ++i) {
            aMutex_Lock(s->mutex);
            ++s->counter;
            aMutex_Unlock(s->mutex);
        }
        return nullptr;
    };
    aThreadRef threads[4];
    for (auto& thread : threads)
        thread = aThread_Create(work, &shared);
    for (auto& thread : threads)
        EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(shared.counter, 40000);
    aMutex_Destroy(&shared.mutex);
}

namespace {

void record_slice(uint32_t us, void* ref)
{
    static_cast<std::vector<uint32_t>*>(ref)->push_back(us);
}

}  // namespace

TEST(aTime, LongSleepsAreSliced)
{
    std::vector<uint32_t> slices;
    aTime_SleepInSlices(2500, record_slice, &slices);
    EXPECT_EQ(slices, (std::vector<uint32_t>{999999, 999999, 500002}));

    slices.clear();
    aTime_SleepInSlices(999, record_slice, &slices);
    EXPECT_EQ(slices, (std::vector<uint32_t>{999000}));

    slices.clear();
    aTime_SleepInSlices(0, record_slice, &slices);
    EXPECT_TRUE(slices.empty());

    // No overflow of the microsecond count for the largest request.
    uint64_t total = 0;
    aTime_SleepInSlices(
        0xFFFFFFFFul, [](uint32_t us, void* ref) { *static_cast<uint64_t*>(ref) += us; }, &total);
    EXPECT_EQ(total, uint64_t(0xFFFFFFFFul) * 1000);
}

TEST(aTime, TicksAdvanceAtLeastBySleptTime)
{
    uint64_t before = aTime_GetMSTicks();
    EXPECT_EQ(aTime_MSSleep(30), aErrNone);
    uint64_t after = aTime_GetMSTicks();
    EXPECT_NE(before, 0u);
    EXPECT_GE(after - before, 30u);
    EXPECT_EQ(osMSSleep(0), aErrNone);
}
