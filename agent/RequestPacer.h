#pragma once
// Keeps the agent's requests under the server's per-address limits (hawkBit:
// 200 GET and 50 other requests a second from one address): every request
// first takes its turn, spaced evenly, so that a gateway with many modules
// never bursts past the limit. Shared by every thread of the agent.
#include <chrono>
#include <mutex>

class RequestPacer {
public:
    using Clock = std::chrono::steady_clock;

    RequestPacer(unsigned readsPerSecond, unsigned writesPerSecond);

    // Waits, when needed, until a request of the kind may go out.
    void Read() { _take(reads_); }
    void Write() { _take(writes_); }

    // The moment the next request of the kind may go out, for a request now; the
    // turn is taken (for the tests, which do not wait).
    Clock::time_point TakeRead(Clock::time_point now) { return _turn(reads_, now); }
    Clock::time_point TakeWrite(Clock::time_point now) { return _turn(writes_, now); }

private:
    struct Lane {
        Clock::duration spacing;
        Clock::time_point next{};
    };
    Clock::time_point _turn(Lane& lane, Clock::time_point now);
    void _take(Lane& lane);

    std::mutex mutex_;
    Lane reads_;
    Lane writes_;
};
