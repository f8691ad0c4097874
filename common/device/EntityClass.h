#pragma once
// The base of every entity: one instance (index) of one entity class (command
// number) on one module, read and written through UEI exchanges.
#include <cstddef>
#include <cstdint>

#include "common/aUEI.h"
#include "unix/aError.h"

namespace Kestrune::Tessarine {

class Module;

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // Exchanges; option is the bare option code. Without a module or link every
    // operation returns aErrResource.
    aErr getUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* record);
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

    // The out value is written when the result is 0 or aErrStreamStale.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    // Byte strings in sequenced chunks of at most 24 bytes.
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    // Receives up to capacity bytes; a longer string ends the transfer with
    // error code 1 (aErrMemory).
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
    // Turns a byte count into a count of unit-sized values: aErrMemory when it
    // is not a whole number of them.
    aErr getUEIBytesCheck(size_t* count, size_t unit);

    // Waits for one value the module sends for this entity and option.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value);
    // Drops queued replies for this entity and option.
    aErr drainUEI(uint8_t option);

    // Raw packets to and from the entity's module.
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // Stored settings of this entity (command 92).
    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

protected:
    Module* getModule() const;
    uint8_t getCommand() const;

private:
    struct impl;
    impl* pImpl;

    aErr storeCommand(uint8_t option);
};

}  // namespace Kestrune::Tessarine
