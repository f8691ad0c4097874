// The link's reader and writer threads, link synchronisation and heartbeat answers.
#include <unistd.h>

#include <cstring>

#include "common/aLink.h"
#include "common/aLinkRecord.h"
#include "unix/aTime.h"

namespace {

constexpr int kMagicPacketsPerSync = 6;
constexpr size_t kPoolBytes = 4096;
constexpr size_t kPoolFillLimit = kPoolBytes - aPACKET_MAXWIRE;  // room for one more packet

// Sends six magic packets; a module answers each with an empty packet from its address.
void _startSync(LinkRecord* link)
{
    link->status = LinkStatus::syncing;
    link->syncState = 1;
    aPacket_Reset(link->rxPacket);
    link->syncStartedMs = aTime_GetMSTicks();
    static const uint8_t none = 0;
    aPacket* magic = aPacket_CreateWithData(aPACKET_ADDR_MAGIC, 0, &none);
    aErr err = magic ? aErrNone : aErrMemory;
    for (int i = 0; i < kMagicPacketsPerSync && magic; i++)
        err = aPacketFifo_Put(link->outToModule, magic);
    aPacket_Destroy(&magic);
    if (err == aErrNone)
        link->syncState = 2;
}

// Synchronised after two empty packets from the same even address: A, 0, A, 0.
void _syncByte(LinkRecord* link, uint8_t b)
{
    switch (link->syncState) {
    case 2:
        if (b != 0 && (b & 1) == 0) {
            link->syncAddress = b;
            link->syncState = 3;
        } else {
            _startSync(link);
        }
        break;
    case 3:
        link->syncState = (b == 0) ? 4 : 1;
        break;
    case 4:
        link->syncState = (b == link->syncAddress) ? 5 : 1;
        break;
    case 5:
        if (b == 0) {
            link->syncState = 0;
            link->status = LinkStatus::running;
        } else {
            link->syncState = 1;
        }
        break;
    default:
        _startSync(link);
        break;
    }
}

// Nothing to read. A link that lost its stream or its synchronisation starts over; one
// that is waiting for answers to its magic packets sends them again only after a quiet
// spell, since answers that trickle in would otherwise restart it for ever.
void _idle(LinkRecord* link)
{
    int32_t status = link->status;
    if (status == LinkStatus::ioError) {
        _startSync(link);
    } else if (status == LinkStatus::syncing) {
        if (link->syncState < 2 || aTime_GetMSTicks() - link->syncStartedMs >= aLINK_SYNC_RETRY_MS)
            _startSync(link);
    }
}

bool _userFilterConsumes(LinkRecord* link)
{
    aMutex_Lock(link->userFilterSema);
    bool consumed = link->userFilter && link->userFilter(link->rxPacket, link->userFilterRef);
    aMutex_Unlock(link->userFilterSema);
    return consumed;
}

bool _isHeartbeat(const aPacket* packet)
{
    return packet->dataSize == 2 && packet->data[0] == 0;
}

void _answerHeartbeat(LinkRecord* link)
{
    uint8_t value = link->rxPacket->data[1];
    if (value == 1)
        link->hbState = 3;
    else if (value == 0)
        link->hbState = 2;
    const uint8_t answer[2] = {0, static_cast<uint8_t>(value + 2)};
    aPacket* reply = aPacket_CreateWithData(link->rxPacket->address, 2, answer);
    if (reply)
        aPacketFifo_Put(link->outToModule, reply);
    aPacket_Destroy(&reply);
    link->hbState = 0;
}

// A caller awaiting a packet while it reads the stream: the packet it waits for goes
// to it directly, not through the inbound queue.
struct Awaiting {
    aPacketFilterProc proc;
    const void* ref;
    aPacket* packet;  // handed over
};

void _handlePacket(LinkRecord* link, Awaiting* awaiting)
{
    aLink_LogPacket(link, aPACKETLOG_RECEIVED, link->rxPacket);
    // The order decides who takes the packet; an empty branch means it is taken already.
    if (_userFilterConsumes(link)) {  // NOLINT(bugprone-branch-clone): empty like the awaiting branch, on purpose
    } else if (_isHeartbeat(link->rxPacket) && link->hbState <= 1) {
        _answerHeartbeat(link);  // heartbeats never reach the inbound queue
    } else if (awaiting && awaiting->proc(link->rxPacket, awaiting->ref) &&
               (awaiting->packet = aPacket_Copy(link->rxPacket)) != nullptr) {
        // Nothing queued matches (the caller looked), so this is the oldest packet it accepts.
    } else if (aPacketFifo_Put(link->inFromModule, link->rxPacket) != aErrNone) {
        link->status = LinkStatus::failed;
    }
    aPacket_Reset(link->rxPacket);
}

// True when the byte completed a packet.
bool _receiveByte(LinkRecord* link, uint8_t b, Awaiting* awaiting)
{
    if (link->status == LinkStatus::syncing) {
        _syncByte(link, b);
        return false;
    }
    // A refused byte or an odd address means the byte stream is out of step.
    if (aPacket_AddByte(link->rxPacket, b) != aErrNone || (link->rxPacket->address & 1)) {
        _startSync(link);
        return false;
    }
    if (!aPacket_IsComplete(link->rxPacket))
        return false;
    _handlePacket(link, awaiting);
    return true;
}

// What a read from the stream gave. Callers hold readMutex.
enum class ReadOutcome { byte, packet, idle, failed };

ReadOutcome _readOnce(LinkRecord* link, Awaiting* awaiting = nullptr)
{
    uint8_t b;
    aErr err = aStream_Read(link->stream, &b, 1);
    if (err == aErrNone)
        return _receiveByte(link, b, awaiting) ? ReadOutcome::packet : ReadOutcome::byte;
    if (err == aErrNotReady) {
        _idle(link);
        return ReadOutcome::idle;
    }
    if (err == aErrPacket) {
        _startSync(link);  // a framed transport refused a corrupt frame
        return ReadOutcome::byte;
    }
    link->status = LinkStatus::ioError;
    return ReadOutcome::failed;
}

// Sent packets are logged before the write, so that the log never shows a reply ahead of
// the packet that asked for it.
void _writeSingle(LinkRecord* link, const aPacket* packet)
{
    uint8_t wire[aPACKET_MAXWIRE];
    size_t length = 0;
    aLink_LogPacket(link, aPACKETLOG_SENT, packet);
    if (aPacket_GetBytes(packet, wire, sizeof wire, &length) == aErrNone)
        aStream_Write(link->stream, wire, length);
}

// Pooled: the packet and whatever else is queued already leave in one write.
void _writePooled(LinkRecord* link, aPacket* first)
{
    uint8_t pool[kPoolBytes];
    size_t total = 0;
    aPacket* packet = first;
    while (packet) {
        size_t length = 0;
        if (aPacket_GetBytes(packet, pool + total, sizeof pool - total, &length) == aErrNone)
            total += length;
        aLink_LogPacket(link, aPACKETLOG_SENT, packet);
        if (packet != first)
            aPacket_Destroy(&packet);
        packet = (total <= kPoolFillLimit) ? aPacketFifo_Get(link->outToModule) : nullptr;
    }
    if (total)
        aStream_Write(link->stream, pool, total);  // a failed write drops the packets
}

// An idle reader waits for input: on a running link for long, when a stop or a
// resynchronisation can wake it; else briefly, as synchronisation is timed and the
// stream cannot be woken. Never spins on an idle stream.
void _awaitInput(LinkRecord* link)
{
    if (link->status == LinkStatus::running) {
        aErr err = aStream_WaitOrWake(link->stream, aLINK_READER_QUIET_WAIT_MS, link->wakeFd);
        if (err == aErrCancel) {
            uint64_t wakes = 0;
            (void)!read(link->wakeFd, &wakes, sizeof wakes);
        }
        if (err != aErrUnimplemented)
            return;
    }
    aStream_Wait(link->stream, aLINK_READER_IDLE_WAIT_MS);
}

}  // namespace

void aLink_WakeReader(LinkRecord* link)
{
    uint64_t one = 1;
    if (link->wakeFd >= 0)
        (void)!write(link->wakeFd, &one, sizeof one);
}

void aLink_LogPacket(LinkRecord* link, uint8_t direction, const aPacket* packet)
{
    aPacketLog* log = link->log.load();
    if (!log || !link->logEnabled)
        return;
    uint8_t wire[aPACKET_MAXWIRE];
    size_t length = 0;
    if (aPacket_GetBytes(packet, wire, sizeof wire, &length) != aErrNone)
        return;
    aMutex_Lock(link->logMutex);
    aPacketLog_Put(log, direction, static_cast<uint8_t>(length), wire);
    aMutex_Unlock(link->logMutex);
}

void* aLink_ReaderThread(void* ref)
{
    auto* link = static_cast<LinkRecord*>(ref);
    {
        std::lock_guard<std::mutex> reading(link->readMutex);
        link->hbState = 0;
        link->syncAddress = 1;
        link->syncState = 0;
        link->status = LinkStatus::running;
        link->readerReady = 1;
    }
    while (link->running) {
        std::unique_lock<std::mutex> reading(link->readMutex, std::try_to_lock);
        if (!reading.owns_lock()) {
            // A waiting caller has the stream and handles what comes. Waiting for the lock
            // would make the caller wake this thread on its way out; look again shortly
            // (what arrives after the caller is done, such as heartbeats, is not left long).
            aTime_MSSleep(aLINK_READER_YIELD_MS);
            continue;
        }
        if (!link->running)
            break;
        ReadOutcome outcome = _readOnce(link);
        reading.unlock();
        if (outcome == ReadOutcome::idle) {
            _awaitInput(link);
        } else if (outcome == ReadOutcome::failed) {
            aTime_MSSleep(aLINK_IO_ERROR_PAUSE_MS);
        }
    }
    return nullptr;
}

aPacket* aLink_AwaitReading(LinkRecord* link, aPacketFilterProc proc, const void* ref, uint32_t timeoutMs,
                            bool* readerBusy, int wakeFd, bool* woken)
{
    *readerBusy = false;
    std::unique_lock<std::mutex> reading(link->readMutex, std::try_to_lock);
    // After a failed read the reader thread pauses before it reads again; so does the caller.
    int32_t status = link->status;
    bool readable = status == LinkStatus::running || status == LinkStatus::syncing;
    if (!reading.owns_lock() || !readable || !link->callerReads || !link->stream || !link->stream->waitProc) {
        *readerBusy = true;
        return nullptr;
    }
    uint64_t end = aTime_GetMSTicks() + timeoutMs;
    // The reader may have queued the packet just before it let go of the stream.
    aPacket* packet = aPacketFifo_AwaitFirst(link->inFromModule, proc, ref, 0);
    Awaiting awaiting{proc, ref, nullptr};
    // A reply is rarely there already: wait for input first rather than read in vain.
    bool wait = true;
    while (!packet && link->running) {
        if (wait) {
            uint64_t now = aTime_GetMSTicks();
            if (now >= end)
                break;
            auto left = static_cast<uint32_t>(end - now);
            aErr waited = aStream_WaitOrWake(link->stream, left, wakeFd);
            if (waited == aErrCancel) {
                if (woken)
                    *woken = true;
                break;
            }
            if (waited == aErrUnimplemented)
                aStream_Wait(link->stream, left);
            wait = false;
        }
        ReadOutcome outcome = _readOnce(link, &awaiting);
        if (outcome == ReadOutcome::packet) {
            packet = awaiting.packet;
        } else if (outcome == ReadOutcome::idle) {
            wait = true;
        } else if (outcome == ReadOutcome::failed) {
            break;  // to the queue: the reader thread pauses before it reads again
        }
    }
    return packet;
}

// Callers hold writeMutex.
void _flushOutbound(LinkRecord* link, bool poolingAllowed)
{
    while (aPacket* packet = aPacketFifo_Get(link->outToModule)) {
        if (poolingAllowed && link->pooled)
            _writePooled(link, packet);
        else
            _writeSingle(link, packet);
        aPacket_Destroy(&packet);
    }
}

void* aLink_WriterThread(void* ref)
{
    auto* link = static_cast<LinkRecord*>(ref);
    link->writerReady = 1;
    while (link->running) {
        // Pooled packets do not wake the writer: it looks often while the link pools.
        uint32_t wait = link->pooled ? aLINK_POOLED_WRITER_AWAIT_MS : aLINK_WRITER_AWAIT_MS;
        if (!aPacketFifo_AwaitNotEmpty(link->outToModule, wait))
            continue;
        std::lock_guard<std::mutex> lock(link->writeMutex);
        _flushOutbound(link, true);
    }
    // What is still queued (the route packet of a stop among it) leaves before the end.
    std::lock_guard<std::mutex> lock(link->writeMutex);
    _flushOutbound(link, false);
    return nullptr;
}

void aLink_FlushPooled(LinkRecord* link)
{
    if (!link->pooled || aPacketFifo_GetLength(link->outToModule) == 0)
        return;
    std::unique_lock<std::mutex> writing(link->writeMutex, std::try_to_lock);
    if (!writing.owns_lock())
        return;  // the writer is at it already
    if (link->running && link->stream)
        _flushOutbound(link, true);
}

bool aLink_TryWriteDirect(LinkRecord* link, const aPacket* packet)
{
    if (!link->writeMutex.try_lock())
        return false;
    // A pooled link gathers packets in the writer instead, to send them in fewer writes.
    bool direct = link->running && !link->pooled && link->status == LinkStatus::running && link->stream &&
                  aPacketFifo_GetLength(link->outToModule) == 0;
    if (direct)
        _writeSingle(link, packet);  // as in the writer, a failed write drops the packet
    link->writeMutex.unlock();
    return direct;
}
