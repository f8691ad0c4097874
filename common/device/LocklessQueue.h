#pragma once
// A single-producer single-consumer ring of fixed size: one thread pushes, one
// other thread pops, neither waits. Holds at most Slots - 1 entries.
#include <atomic>
#include <cstdint>

template <typename T, uint16_t Slots>
class LocklessQueue_SPSC {
    static_assert(Slots >= 2);

public:
    // False when the ring is full.
    bool push(const T& value)
    {
        uint16_t write = write_.load(std::memory_order_relaxed);
        uint16_t next = static_cast<uint16_t>((write + 1) % Slots);
        if (next == read_.load(std::memory_order_acquire))
            return false;
        slots_[write] = value;
        write_.store(next, std::memory_order_release);
        return true;
    }

    // False when the ring is empty.
    bool pop(T& value)
    {
        uint16_t read = read_.load(std::memory_order_relaxed);
        if (read == write_.load(std::memory_order_acquire))
            return false;
        value = slots_[read];
        read_.store(static_cast<uint16_t>((read + 1) % Slots), std::memory_order_release);
        return true;
    }

private:
    T slots_[Slots]{};
    std::atomic<uint16_t> read_{0};
    std::atomic<uint16_t> write_{0};
};
