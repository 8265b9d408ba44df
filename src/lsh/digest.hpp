// Canonical text of a vector quantised to six decimal places, and its SHA-256.
#pragma once

#include <cstddef>
#include <string>

struct evp_md_ctx_st;  // libcrypto's EVP_MD_CTX

namespace zln::lsh {

// x * 1e6 rounded half away from zero, then divided by 1e6 (binary64).
double quantize_to_6_places(float x) noexcept;

// Appends the element text of a quantised value. The general path handles
// every double; the fast path handles |q| < 2^33 and returns false (appending
// nothing) otherwise. The fast path also declines (returns false) for a
// double that no quantisation produces, so canonical_float_text is exact for
// every double.
void canonical_float_text_general(double q, std::string& out);
bool canonical_float_text_fast(double q, std::string& out);
void canonical_float_text(double q, std::string& out);  // fast, else general

// "[e0, e1, ...]"; use_fast_path=false forces the general element path.
std::string canonical_embedding_text(const float* v, std::size_t n, bool use_fast_path = true);

// 64 lowercase hex digits of SHA-256(canonical_embedding_text(v)).
// Throws InternalFailure if libcrypto fails, std::bad_alloc on memory.
std::string compute_embedding_sha256(const float* v, std::size_t n);

// SHA-256 of canonical embedding texts, one after another, reusing one
// libcrypto context: for digesting many rows on one thread.
class EmbeddingDigester {
public:
    EmbeddingDigester();  // throws std::bad_alloc
    ~EmbeddingDigester();
    EmbeddingDigester(const EmbeddingDigester&) = delete;
    EmbeddingDigester& operator=(const EmbeddingDigester&) = delete;

    // The 32 bytes of SHA-256(canonical_embedding_text(v)). Throws as
    // compute_embedding_sha256 does.
    void digest(const float* v, std::size_t n, unsigned char* out);

private:
    evp_md_ctx_st* ctx_;
};

// How the SHA-256 implementation is obtained from libcrypto, fixed when
// compiling: "EVP_MD_fetch" (OpenSSL 3, fetched once) or "EVP_sha256".
const char* sha256_source() noexcept;

}  // namespace zln::lsh
