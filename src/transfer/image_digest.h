// What an image held when romup checked it at start-up: its size and a hash
// of its bytes. The upload keeps the same figures over what it reads, so that
// it can tell whether it sent exactly the bytes the check saw: a file cut,
// grown or rewritten after its check must never pass for the image checked.
#pragma once

#include <cstddef>
#include <cstdint>

struct image_digest {
    std::int64_t size = 0;
    // 64-bit FNV-1a over every byte in order: a change of any byte shows,
    // however the file changed.
    std::uint64_t hash = 14695981039346656037ULL;
};

// Adds count bytes to digest, as if they followed the bytes already in it.
void digest_add(image_digest& digest, const char* bytes, std::size_t count);

// Whether two digests are those of the same bytes.
bool same_digest(const image_digest& a, const image_digest& b);
