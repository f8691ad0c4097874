// Serial and socket streams over the platform's serial ports and TCP sockets.
#include "common/Log.h"
#include "common/aStream.h"
#include "common/aStreamCobs.h"
#include "unix/aSerialPort.h"
#include "unix/aTcpSocket.h"

namespace {

void _logSocketError(const char* file, int line, const char* description, int error)
{
    Log::log(0, "Error in File; %s on line; %d, %s: %d\n", file, line, description, error);
}

// Both serial streams start alike: a place for the stream, and the port opened.
aErr _openSerial(const char* portName, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
                 aStreamRef* stream, SerialStreamData** port)
{
    if (stream == nullptr)
        return aErrResource;
    *stream = nullptr;
    return aSerialPort_Open(portName, baudIndex, parity, dataBits, stopBits, port);
}

}  // namespace

aErr aStream_CreateSerial(const char* portName, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
                          aStreamRef* stream)
{
    SerialStreamData* port = nullptr;
    aErr err = _openSerial(portName, baudIndex, parity, dataBits, stopBits, stream, &port);
    if (err != aErrNone)
        return err;
    *stream = aStream_CreateWaiting(aSerialPort_Get, aSerialPort_Put, aSerialPort_Write, aSerialPort_Delete,
                                    aSerialPort_Wait, port);
    if (*stream == nullptr) {
        aSerialPort_Delete(port);
        return aErrResource;
    }
    aStream_SetWaitOrWakeProc(*stream, aSerialPort_WaitOrWake);
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* portName, uint32_t baudIndex, bool parity, uint32_t dataBits,
                                     uint32_t stopBits, aStreamRef* stream)
{
    SerialStreamData* port = nullptr;
    aErr err = _openSerial(portName, baudIndex, parity, dataBits, stopBits, stream, &port);
    if (err != aErrNone)
        return err;
    err = aStream_CreateCobsEncodingWithWait(aSerialPort_Get, aSerialPort_Put, aSerialPort_Write, aSerialPort_Delete,
                                             aSerialPort_Wait, port, stream);
    if (err != aErrNone)
        aSerialPort_Delete(port);
    else
        aStream_SetCobsWaitOrWake(*stream, aSerialPort_WaitOrWake);
    return err;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream)
{
    if (stream == nullptr)
        return aErrParam;
    *stream = nullptr;
    aTcpSocket_SetReporter(_logSocketError);
    SocketStreamData* socket = nullptr;
    aErr err = aTcpSocket_Open(address, port, &socket);
    if (err != aErrNone)
        return err;
    *stream = aStream_CreateWaiting(aTcpSocket_Get, aTcpSocket_Put, aTcpSocket_Write, aTcpSocket_Delete,
                                    aTcpSocket_Wait, socket);
    aStream_SetWaitOrWakeProc(*stream, aTcpSocket_WaitOrWake);
    return *stream ? aErrNone : aErrMemory;
}
