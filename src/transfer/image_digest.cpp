#include "transfer/image_digest.h"

void digest_add(image_digest& digest, const char* bytes, std::size_t count) {
    constexpr std::uint64_t fnv_prime = 1099511628211ULL;
    std::uint64_t hash = digest.hash;
    for (std::size_t i = 0; i < count; ++i) {
        hash = (hash ^ static_cast<unsigned char>(bytes[i])) * fnv_prime;
    }
    digest.hash = hash;
    digest.size += static_cast<std::int64_t>(count);
}

bool same_digest(const image_digest& a, const image_digest& b) {
    return a.size == b.size && a.hash == b.hash;
}
