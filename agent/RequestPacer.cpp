#include "agent/RequestPacer.h"

#include <algorithm>
#include <thread>

RequestPacer::RequestPacer(unsigned readsPerSecond, unsigned writesPerSecond)
    : reads_{std::chrono::microseconds(1000000 / std::max(1u, readsPerSecond))},
      writes_{std::chrono::microseconds(1000000 / std::max(1u, writesPerSecond))}
{
}

RequestPacer::Clock::time_point RequestPacer::_turn(Lane& lane, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point turn = std::max(now, lane.next);
    lane.next = turn + lane.spacing;
    return turn;
}

void RequestPacer::_take(Lane& lane)
{
    std::this_thread::sleep_until(_turn(lane, Clock::now()));
}
