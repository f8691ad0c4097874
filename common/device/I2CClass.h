#pragma once
// The I2C bus entity (command 8, raw packets) of a routing module: writes,
// reads and pull-ups on its bus at a stored speed.
#include <cstdint>

#include "common/device/EntityClass.h"

namespace Kestrune::Tessarine {

class I2CClass : public EntityClass {
public:
    // Longest transfer in one packet.
    static constexpr uint8_t MAX_TRANSFER = 23;

    void init(Module* module, uint8_t index);

    // The bus's status byte decides: bit 7 set gives the error code in its low
    // 7 bits. A nonzero result of write means the address did not acknowledge.
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    aErr setPullup(bool on);
    // Speed codes 0 to 3, sent with every transfer.
    aErr setSpeed(uint8_t code);
    aErr getSpeed(uint8_t* code) const;

private:
    uint8_t speed_ = 0;
};

}  // namespace Kestrune::Tessarine
