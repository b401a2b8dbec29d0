// Takes a fuzzer's bytes apart into the pieces a target needs; what runs out reads as zero.
#pragma once

#include <cstddef>
#include <cstdint>

struct FuzzInput {
    const std::uint8_t* data;
    std::size_t size;

    bool Empty() const { return size == 0; }

    std::uint8_t Byte() {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }

    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }

    std::uint64_t Bits() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            value |= static_cast<std::uint64_t>(Byte()) << (8 * i);
        return value;
    }

    // Up to count bytes; fewer when the input ends first.
    const std::uint8_t* Take(std::size_t count, std::size_t* taken) {
        *taken = count < size ? count : size;
        const std::uint8_t* start = data;
        data += *taken;
        size -= *taken;
        return start;
    }
};
