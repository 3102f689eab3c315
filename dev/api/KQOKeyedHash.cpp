// SipHash-1-3, as hash tables in several language runtimes key it against
// chosen collisions, under a key drawn from the host's random source at
// first use.
#include "KQOKeyedHash.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>

namespace {

struct Key {
    uint64 k0;
    uint64 k1;
};

Key DrawKey()
{
    Key key = {0, 0};
    try {
        std::random_device device;
        key.k0 = (static_cast<uint64>(device()) << 32) ^ device();
        key.k1 = (static_cast<uint64>(device()) << 32) ^ device();
    } catch (...) {
        // No random source: the clock and where this runs still differ
        // from run to run, which is all a table of names needs.
    }
    const uint64 now = static_cast<uint64>(std::chrono::steady_clock::now().time_since_epoch().count());
    key.k0 ^= now;
    key.k1 ^= static_cast<uint64>(reinterpret_cast<std::uintptr_t>(&key)) * 0x9E3779B97F4A7C15ull;
    return key;
}

const Key& ProcessKey()
{
    static const Key key = DrawKey();
    return key;
}

inline uint64 Rotate(uint64 x, int b)
{
    return (x << b) | (x >> (64 - b));
}

inline void Round(uint64& v0, uint64& v1, uint64& v2, uint64& v3)
{
    v0 += v1;
    v1 = Rotate(v1, 13);
    v1 ^= v0;
    v0 = Rotate(v0, 32);
    v2 += v3;
    v3 = Rotate(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = Rotate(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = Rotate(v1, 17);
    v1 ^= v2;
    v2 = Rotate(v2, 32);
}

}  // namespace

uint64 KQKeyedHash::Of(const void* bytes, size_t length)
{
    const Key& key = ProcessKey();
    uint64 v0 = key.k0 ^ 0x736f6d6570736575ull;
    uint64 v1 = key.k1 ^ 0x646f72616e646f6dull;
    uint64 v2 = key.k0 ^ 0x6c7967656e657261ull;
    uint64 v3 = key.k1 ^ 0x7465646279746573ull;
    const ubyte* p = static_cast<const ubyte*>(bytes);
    const size_t whole = length - length % 8;
    for (size_t i = 0; i < whole; i += 8) {
        uint64 m = 0;
        for (int j = 7; j >= 0; --j)
            m = (m << 8) | p[i + static_cast<size_t>(j)];
        v3 ^= m;
        Round(v0, v1, v2, v3);
        v0 ^= m;
    }
    uint64 last = static_cast<uint64>(length) << 56;
    for (size_t j = 0; j < length % 8; ++j)
        last |= static_cast<uint64>(p[whole + j]) << (8 * j);
    v3 ^= last;
    Round(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xff;
    for (int i = 0; i < 3; ++i)
        Round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}
