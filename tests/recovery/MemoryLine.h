#pragma once
// A serial line in memory for the ISP client: what the ROM "sends" is queued up front,
// what the client writes is collected. An empty line answers at once that nothing came,
// so waits run out by their budgets without real time passing.
#include <string>

#include "common/aStream.h"

class MemoryLine {
public:
    explicit MemoryLine(std::string input = "") : input_(std::move(input))
    {
        stream_ = aStream_CreateWaiting(&MemoryLine::get, nullptr, &MemoryLine::write, &MemoryLine::drop,
                                        &MemoryLine::wait, this);
    }
    // The client takes the stream over (and destroys it on Disconnect).
    aStreamRef Release()
    {
        aStreamRef s = stream_;
        stream_ = nullptr;
        return s;
    }
    ~MemoryLine()
    {
        if (stream_)
            aStream_Destroy(&stream_);
    }
    void Add(const std::string& more) { input_ += more; }
    const std::string& Written() const { return written_; }
    size_t Unread() const { return input_.size() - at_; }

private:
    static aErr get(uint8_t* byte, void* ref)
    {
        auto* self = static_cast<MemoryLine*>(ref);
        if (self->at_ >= self->input_.size())
            return aErrNotReady;
        *byte = static_cast<uint8_t>(self->input_[self->at_++]);
        return aErrNone;
    }
    static aErr write(const uint8_t* bytes, size_t length, void* ref)
    {
        static_cast<MemoryLine*>(ref)->written_.append(reinterpret_cast<const char*>(bytes), length);
        return aErrNone;
    }
    static aErr drop(void*) { return aErrNone; }
    static aErr wait(void* ref, uint32_t)
    {
        auto* self = static_cast<MemoryLine*>(ref);
        return self->at_ < self->input_.size() ? aErrNone : aErrTimeout;
    }

    std::string input_;
    size_t at_ = 0;
    std::string written_;
    aStreamRef stream_ = nullptr;
};
