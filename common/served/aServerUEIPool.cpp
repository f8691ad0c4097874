#include "common/served/aServerUEIPool.h"

#include <algorithm>

void aServerUEIPools_Age(aServerUEIPools* pools)
{
    auto& list = pools->pools;
    list.erase(std::remove_if(list.begin(), list.end(), [](aServerUEIPool& pool) { return pool.timeToLive-- == 0; }),
               list.end());
}

aServerUEIPool* aServerUEIPools_Find(aServerUEIPools* pools, const std::string& identity)
{
    for (auto& pool : pools->pools)
        if (pool.identity == identity)
            return &pool;
    return nullptr;
}

void aServerUEIPools_Start(aServerUEIPools* pools, const std::string& identity, const aPacket* first)
{
    aServerUEIPool pool;
    pool.identity = identity;
    pool.timeToLive = aSERVER_POOL_TIME_TO_LIVE;
    pool.sequence = 0;
    pool.pieces.push_back(*first);
    pools->pools.push_back(std::move(pool));
}

void aServerUEIPools_Remove(aServerUEIPools* pools, const std::string& identity)
{
    auto& list = pools->pools;
    list.erase(
        std::remove_if(list.begin(), list.end(), [&](const aServerUEIPool& pool) { return pool.identity == identity; }),
        list.end());
}
