#include "common/aPacketFifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

struct SerialPacket {
    uint64_t serial;
    std::unique_ptr<aPacket, aPacketDeleter> packet;
};

using Clock = std::chrono::steady_clock;

class packetFifo {
public:
    std::deque<SerialPacket> packets;
    std::condition_variable condition;
    std::mutex mutex;
    std::atomic<bool> active{true};
    std::atomic<uint64_t> window{0};
    std::atomic<uint64_t> nextSerial{0};
    uint64_t wakes = 0;  // under mutex

    // Callers hold mutex.
    void clearAndSyncWindow()
    {
        packets.clear();
        window = nextSerial.load();
    }
    void eraseAndSyncWindow(std::deque<SerialPacket>::iterator first, std::deque<SerialPacket>::iterator last)
    {
        packets.erase(first, last);
        window = packets.empty() ? nextSerial.load() : packets.front().serial;
    }
    void eraseAndSyncWindow(std::deque<SerialPacket>::iterator position) { eraseAndSyncWindow(position, position + 1); }
};

using FifoPtr = std::shared_ptr<packetFifo>;

std::atomic<uint64_t> gpSequentialId{1};
std::map<aPacketFifoHandle, FifoPtr> gpPacketFifoDictionary;
std::mutex gpPacketFifoDictionaryMutex;

FifoPtr sGetFifo(aPacketFifoHandle handle)
{
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    auto found = gpPacketFifoDictionary.find(handle);
    return found == gpPacketFifoDictionary.end() ? nullptr : found->second;
}

aPacketFifoHandle _nextHandle()
{
    aPacketFifoHandle handle = gpSequentialId.fetch_add(1);
    while (handle == 0)
        handle = gpSequentialId.fetch_add(1);
    return handle;
}

// Copies the packet at position and, only if that worked, takes it off the queue.
aPacket* _stealPacketFromFifo(packetFifo& fifo, std::deque<SerialPacket>::iterator position)
{
    aPacket* copy = aPacket_Copy(position->packet.get());
    if (copy)
        fifo.eraseAndSyncWindow(position);
    return copy;
}

bool _waitUntilNotEmpty(packetFifo& fifo, std::unique_lock<std::mutex>& lock, Clock::time_point deadline)
{
    while (fifo.packets.empty() && fifo.active) {
        if (Clock::now() >= deadline)
            return false;
        fifo.condition.wait_until(lock, deadline);
    }
    return true;
}

// Scans for the oldest packet the procedure accepts. Only packets from serial unseen on
// are shown to it; each rejected packet moves unseen past itself, so that a long wait
// shows every arriving packet once however often it wakes. (Keeping "the first unseen
// serial" rather than "the last examined one" needs no value below serial 0.)
std::deque<SerialPacket>::iterator _scan(packetFifo& fifo, aPacketFilterProc proc, const void* ref, uint64_t& unseen)
{
    for (auto it = fifo.packets.begin(); it != fifo.packets.end(); ++it) {
        if (it->serial < unseen)
            continue;
        if (proc(it->packet.get(), ref))
            return it;
        unseen = it->serial + 1;
    }
    return fifo.packets.end();
}

aPacket* _waitUntilProcIsSatisfied(packetFifo& fifo, std::unique_lock<std::mutex>& lock, aPacketFilterProc proc,
                                   const void* ref, Clock::time_point deadline)
{
    uint64_t unseen = fifo.window.load();
    for (;;) {
        auto match = _scan(fifo, proc, ref, unseen);
        if (match != fifo.packets.end())
            return _stealPacketFromFifo(fifo, match);
        if (!fifo.active)
            return nullptr;
        if (Clock::now() >= deadline)
            return nullptr;  // the scan above was the final one
        fifo.condition.wait_until(lock, deadline);
    }
}

Clock::time_point _deadline(uint32_t timeoutMs)
{
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

aPacketFifoHandle aPacketFifo_Create()
{
    try {
        auto fifo = std::make_shared<packetFifo>();
        std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
        aPacketFifoHandle handle = _nextHandle();
        gpPacketFifoDictionary.emplace(handle, std::move(fifo));
        return handle;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoHandle* handle)
{
    if (handle == nullptr)
        return aErrParam;
    try {
        FifoPtr fifo;
        {
            std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
            auto found = gpPacketFifoDictionary.find(*handle);
            if (found == gpPacketFifoDictionary.end())
                return aErrNotFound;
            fifo = std::move(found->second);
            gpPacketFifoDictionary.erase(found);
        }
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->active = false;
            fifo->condition.notify_all();
        }
        *handle = 0;
        return aErrNone;
    } catch (const std::bad_alloc&) {
        return aErrUnknown;
    }
}

namespace {

aErr _put(aPacketFifoHandle handle, const aPacket* packet, bool signal)
{
    FifoPtr fifo = sGetFifo(handle);
    if (!fifo || !aVALIDPACKET(packet))
        return aErrParam;
    {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        uint64_t serial = fifo->nextSerial.fetch_add(1);
        aPacket* copy = aPacket_Copy(packet);
        if (!copy)
            return aErrParam;
        try {
            fifo->packets.push_back(SerialPacket{serial, std::unique_ptr<aPacket, aPacketDeleter>(copy)});
        } catch (const std::bad_alloc&) {
            aPacket_Destroy(&copy);
            return aErrResource;
        }
        fifo->window = fifo->packets.front().serial;
        if (fifo->packets.size() > aPACKETFIFO_CAPACITY) {
            fifo->clearAndSyncWindow();  // nobody is taking packets: start over rather than grow
            return aErrNone;
        }
    }
    // Signalled after unlocking, so that a woken waiter does not block on the mutex at once.
    if (signal)
        fifo->condition.notify_all();
    return aErrNone;
}

}  // namespace

aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet)
{
    return _put(handle, packet, true);
}

aErr aPacketFifo_PutQuietly(aPacketFifoHandle handle, const aPacket* packet)
{
    return _put(handle, packet, false);
}

aPacket* aPacketFifo_Get(aPacketFifoHandle handle)
{
    FifoPtr fifo = sGetFifo(handle);
    if (!fifo)
        return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->packets.empty())
        return nullptr;
    return _stealPacketFromFifo(*fifo, fifo->packets.begin());
}

aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t timeoutMs)
{
    Clock::time_point deadline = _deadline(timeoutMs);
    FifoPtr fifo = sGetFifo(handle);
    if (!fifo)
        return nullptr;
    std::unique_lock<std::mutex> lock(fifo->mutex);
    _waitUntilNotEmpty(*fifo, lock, deadline);
    if (fifo->packets.empty())
        return nullptr;
    return _stealPacketFromFifo(*fifo, fifo->packets.begin());
}

bool aPacketFifo_AwaitNotEmpty(aPacketFifoHandle handle, uint32_t timeoutMs)
{
    Clock::time_point deadline = _deadline(timeoutMs);
    FifoPtr fifo = sGetFifo(handle);
    if (!fifo)
        return false;
    std::unique_lock<std::mutex> lock(fifo->mutex);
    uint64_t wakes = fifo->wakes;
    while (fifo->packets.empty() && fifo->active && fifo->wakes == wakes) {
        if (fifo->condition.wait_until(lock, deadline) == std::cv_status::timeout)
            break;
    }
    return !fifo->packets.empty();
}

aErr aPacketFifo_Wake(aPacketFifoHandle handle)
{
    FifoPtr fifo = sGetFifo(handle);
    if (!fifo)
        return aErrParam;
    {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        fifo->wakes++;
    }
    fifo->condition.notify_all();
    return aErrNone;
}

aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilterProc proc, const void* ref)
{
    FifoPtr fifo = sGetFifo(handle);
    if (!fifo || !proc)
        return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    uint64_t unseen = 0;
    auto match = _scan(*fifo, proc, ref, unseen);
    if (match == fifo->packets.end())
        return nullptr;
    return _stealPacketFromFifo(*fifo, match);
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilterProc proc, const void* ref, uint32_t timeoutMs)
{
    Clock::time_point deadline = _deadline(timeoutMs);
    FifoPtr fifo = sGetFifo(handle);
    if (!fifo || !proc)
        return nullptr;
    std::unique_lock<std::mutex> lock(fifo->mutex);
    return _waitUntilProcIsSatisfied(*fifo, lock, proc, ref, deadline);
}

size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilterProc proc, const void* ref)
{
    FifoPtr fifo = sGetFifo(handle);
    if (!fifo || !proc)
        return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    auto kept = fifo->packets.begin();
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
        if (proc(it->packet.get(), ref))
            continue;
        if (kept != it)
            *kept = std::move(*it);
        ++kept;
    }
    size_t removed = static_cast<size_t>(fifo->packets.end() - kept);
    if (removed)
        fifo->eraseAndSyncWindow(kept, fifo->packets.end());
    return removed;
}

size_t aPacketFifo_GetLength(aPacketFifoHandle handle)
{
    FifoPtr fifo = sGetFifo(handle);
    if (!fifo)
        return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->packets.size();
}
