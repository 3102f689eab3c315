// A hash of strings keyed by a random key drawn once a process. Tables
// keyed by names that someone else chose use it: names picked to share a
// bucket under an unkeyed hash (std::hash is one, the same in every run)
// spread under this one, and which names would share a bucket cannot be
// found without the key.
#ifndef KQOKEYEDHASH_H
#define KQOKEYEDHASH_H

#include <cstddef>
#include <string>
#include <string_view>

#include "KQOTypes.h"

struct KQKeyedHash {
    size_t operator()(std::string_view text) const { return static_cast<size_t>(Of(text.data(), text.size())); }
    size_t operator()(const std::string& text) const { return static_cast<size_t>(Of(text.data(), text.size())); }

    // SipHash-1-3 of the bytes under the process's key.
    static uint64 Of(const void* bytes, size_t length);
};

#endif
