#include "common/served/aServerInFlight.h"

#include "common/served/aServerFrame.h"
#include "common/aUEI.h"

aServerRequestKey aServerInFlight_Key(const aPacket* request)
{
    aServerRequestKey key;
    key.address = request->address;
    key.size = request->dataSize;
    if (request->dataSize == 0)
        return key;
    key.command = request->data[ueiPAYLOAD_COMMAND];
    key.uei = request->dataSize > ueiPAYLOAD_SPECIFIER && aUEI_isUEIPayload(request);
    if (key.uei) {
        key.option = request->data[ueiPAYLOAD_OPTION] & ueiOPTION_MASK;
        key.index = request->data[ueiPAYLOAD_SPECIFIER] & ueiSPECIFIER_INDEX_MASK;
    }
    return key;
}

bool aServerInFlight_Answers(const aServerRequestKey& key, const aPacket* answer)
{
    // A magic packet is answered by an empty packet from the module's own address.
    if (key.size == 0)
        return answer->dataSize == 0;
    if (answer->address != key.address || answer->dataSize == 0 || answer->data[ueiPAYLOAD_COMMAND] != key.command)
        return false;
    if (!key.uei)
        return true;
    return answer->dataSize > ueiPAYLOAD_SPECIFIER &&
           (answer->data[ueiPAYLOAD_OPTION] & ueiOPTION_MASK) == key.option &&
           (answer->data[ueiPAYLOAD_SPECIFIER] & ueiSPECIFIER_INDEX_MASK) == key.index;
}

void aServerInFlight_Add(aServerInFlight* flight, const std::string& client, const aPacket* request, uint64_t nowMs)
{
    flight->requests.push_back({client, aServerInFlight_Key(request), nowMs + aSERVER_REPLY_TIMEOUT_MS});
}

bool aServerInFlight_Match(aServerInFlight* flight, const aPacket* answer, uint64_t nowMs, std::string* client,
                           size_t* skipped)
{
    auto& requests = flight->requests;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (!aServerInFlight_Answers(requests[i].key, answer))
            continue;
        *skipped = i;
        requests.erase(requests.begin(), requests.begin() + static_cast<std::ptrdiff_t>(i));
        *client = requests.front().client;
        // More pieces to come: the request waits for them, each as long as for the first.
        if (aServerFrame_IsContinuedPiece(answer))
            requests.front().deadlineMs = nowMs + aSERVER_REPLY_TIMEOUT_MS;
        else
            requests.pop_front();
        return true;
    }
    return false;
}

size_t aServerInFlight_Expire(aServerInFlight* flight, uint64_t nowMs)
{
    // Deadlines grow from front to back, except that a request receiving a
    // multi-packet answer is at the front with a later one: look at the front only.
    size_t expired = 0;
    while (!flight->requests.empty() && flight->requests.front().deadlineMs <= nowMs) {
        flight->requests.pop_front();
        ++expired;
    }
    return expired;
}
