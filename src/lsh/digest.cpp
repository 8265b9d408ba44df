// Canonical text of a vector quantised to six decimal places, and its SHA-256.
//
// Element text: plain positional decimal of the quantised value built from
// its shortest round-trip digits, never exponent notation; whole numbers
// carry ".0". For |q| < 2^33 a quantised value q = n / 1e6 (n an integer,
// |n| < 2^53) has 1e-6 > ulp(q), so distinct n give distinct q, and the
// shortest digits of q are exactly those of n / 10^6 with trailing zeros
// removed. That lets the common case be written with integer formatting.
#include "lsh/digest.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "lsh/failure.hpp"
#include "lsh/portable/bits.hpp"

namespace zln::lsh {
namespace {

constexpr double kScale = 1000000.0;
// Largest double below one half (0x3FDFFFFFFFFFFFFF): y + copysign(this, y)
// truncated is y rounded half away from zero, for every double y.
constexpr double kAlmostHalf = 0.49999999999999994;
// 2^33: below it, the integer formatting path applies.
constexpr double kFastLimit = 8589934592.0;
// 2^33 * 1e6, an integer below 2^53 and so exact. For a whole number m,
// m / 1e6 rounds to a value below 2^33 exactly when m < this: half an ulp
// just below 2^33 is 2^-21, far less than the 1e-6 step of m / 1e6.
constexpr double kFastLimitScaled = 8589934592000000.0;

// Longest text of one element from a 32-bit input: "-" + 39 digits + ".0".
// Generous room, plus slack so that fixed-size stores near the end of an
// element stay inside the buffer.
constexpr std::size_t kElementBound = 48;
constexpr std::size_t kSlack = 16;
// Longest text of any double: "-0." + 323 zeros + 1 digit (smallest
// subnormal) or "-" + 309 digits + ".0" (largest finite).
constexpr std::size_t kGeneralBound = 400;

struct DigitPairs {
    char c[200];
    constexpr DigitPairs() : c() {
        for (int i = 0; i < 100; ++i) {
            c[2 * i] = static_cast<char>('0' + i / 10);
            c[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr DigitPairs kPairs{};

inline void put_pair(char* p, std::uint32_t v) noexcept { std::memcpy(p, kPairs.c + 2 * v, 2); }

// Decimal digits of v (v < 10^10), no leading zeros ("0" for zero).
inline char* write_uint(char* p, std::uint64_t v) noexcept {
    if (v < 10) {
        *p = static_cast<char>('0' + v);
        return p + 1;
    }
    char tmp[20];
    char* end = tmp + sizeof tmp;
    char* t = end;
    while (v >= 100) {
        t -= 2;
        put_pair(t, static_cast<std::uint32_t>(v % 100));
        v /= 100;
    }
    if (v >= 10) {
        t -= 2;
        put_pair(t, static_cast<std::uint32_t>(v));
    } else {
        *--t = static_cast<char>('0' + v);
    }
    const std::size_t len = static_cast<std::size_t>(end - t);
    std::memcpy(p, t, len);
    return p + len;
}

static_assert(std::endian::native == std::endian::little, "digit words are stored little-endian");

// Six decimal digits of f (f < 10^6) as the bytes 0..5 of a word (most
// significant digit first in memory), each byte 0..9, bytes 6 and 7 zero.
inline std::uint64_t six_digits(std::uint32_t f) noexcept {
    const std::uint32_t hi = f / 10000;
    const std::uint32_t rest = f % 10000;
    // Three two-digit values in 16-bit lanes.
    const std::uint64_t pairs = hi | (static_cast<std::uint64_t>(rest / 100) << 16) |
                                (static_cast<std::uint64_t>(rest % 100) << 32);
    // x * 103 >> 10 is x / 10 for x < 100, and x * 103 stays within a lane.
    const std::uint64_t tens = ((pairs * 103) >> 10) & 0x0000000F000F000Full;
    const std::uint64_t ones = pairs - tens * 10;
    return tens | (ones << 8);
}

// Text of (negative ? -1 : 1) * n / 10^6 with trailing fraction zeros
// removed, and ".0" for whole numbers (zero included). n < 2^33 * 10^6.
// May store up to 8 bytes past the returned end.
inline char* write_scaled_decimal(char* p, bool negative, std::uint64_t n) noexcept {
    *p = '-';
    p += negative ? 1 : 0;
    std::uint32_t frac;
    if (n < 1000000) {  // the usual case for normalised vectors
        *p++ = '0';
        frac = static_cast<std::uint32_t>(n);
    } else {
        p = write_uint(p, n / 1000000);
        frac = static_cast<std::uint32_t>(n % 1000000);
    }
    if (frac == 0) {
        std::memcpy(p, ".0", 2);
        return p + 2;
    }
    *p = '.';
    const std::uint64_t digits = six_digits(frac);
    const std::uint64_t text = digits + 0x0000303030303030ull;
    std::memcpy(p + 1, &text, 8);
    // Trailing zero digits are the leading zero bytes of the 48-bit word.
    const int trailing_zeros = bits::countl_zero64(digits << 16) >> 3;
    return p + 7 - trailing_zeros;
}

// Writes the element text of any double; returns the end. dst must hold
// kGeneralBound bytes.
char* write_general(double q, char* dst) noexcept {
    char* p = dst;
    if (std::isnan(q)) {
        std::memcpy(p, "NaN", 3);
        return p + 3;  // no mark: q - trunc(q) is NaN
    }
    if (std::signbit(q)) *p++ = '-';
    const double a = std::fabs(q);
    if (std::isinf(a)) {
        std::memcpy(p, "inf", 3);
        return p + 3;  // no mark: inf - inf is NaN
    }
    bool has_point = false;
    if (a == 0.0) {
        *p++ = '0';
    } else {
        // Shortest round-trip digits (nearest of the shortest) as d.ddde±x.
        char sci[64];
        const std::to_chars_result r = std::to_chars(sci, sci + sizeof sci, a, std::chars_format::scientific);
        // A buffer of 64 always suffices for a double.
        char digits[20];
        int k = 0;
        const char* s = sci;
        for (; s != r.ptr && *s != 'e'; ++s) {
            if (*s != '.') digits[k++] = *s;
        }
        int exp10 = 0;
        if (s != r.ptr) {
            ++s;  // 'e'
            const bool neg_exp = *s == '-';
            if (*s == '+' || *s == '-') ++s;
            for (; s != r.ptr; ++s) exp10 = exp10 * 10 + (*s - '0');
            if (neg_exp) exp10 = -exp10;
        }
        // Value = 0.d1...dk * 10^e.
        const int e = exp10 + 1;
        if (e <= 0) {
            std::memcpy(p, "0.", 2);
            p += 2;
            std::memset(p, '0', static_cast<std::size_t>(-e));
            p += -e;
            std::memcpy(p, digits, static_cast<std::size_t>(k));
            p += k;
            has_point = true;
        } else if (e < k) {
            std::memcpy(p, digits, static_cast<std::size_t>(e));
            p += e;
            *p++ = '.';
            std::memcpy(p, digits + e, static_cast<std::size_t>(k - e));
            p += k - e;
            has_point = true;
        } else {
            // Places beyond the shortest digits are zeros, not digits of the
            // exact binary value.
            std::memcpy(p, digits, static_cast<std::size_t>(k));
            p += k;
            std::memset(p, '0', static_cast<std::size_t>(e - k));
            p += e - k;
        }
    }
    if (q - std::trunc(q) == 0.0 && !has_point) {
        std::memcpy(p, ".0", 2);
        p += 2;
    }
    return p;
}

// Chunk in which the text is built before it is handed on (appended to a
// string or fed to the hash), small enough to stay in the first-level cache.
constexpr std::size_t kChunk = 8192;
// Room one element may need: ", ", its text, and stores past its end.
constexpr std::size_t kElementRoom = 2 + kElementBound + kSlack;

// Produces "[e0, e1, ...]" piece by piece: sink(const char*, size_t) is
// called with consecutive parts of the text, in order.
template <class Sink>
void emit_embedding_text(const float* v, std::size_t n, bool use_fast_path, Sink&& sink) {
    char buf[kChunk];
    char* const flush_at = buf + kChunk - kElementRoom;
    char* p = buf;
    *p++ = '[';
    for (std::size_t i = 0; i < n; ++i) {
        if (p > flush_at) {
            sink(static_cast<const char*>(buf), static_cast<std::size_t>(p - buf));
            p = buf;
        }
        if (i != 0) {
            std::memcpy(p, ", ", 2);
            p += 2;
        }
        const double x = static_cast<double>(v[i]);
        // x * 1e6 is exact for every 32-bit input (24 + 20 significant bits).
        const double y = x * kScale;
        const double t = y + std::copysign(kAlmostHalf, y);
        // trunc(t) = n keeps the sign, so a negative value rounding to zero
        // gives -0.0; that sign is the sign of x. |trunc(t)| < 2^33 * 1e6
        // exactly when |t| < 2^33 * 1e6, as the limit is whole.
        if (use_fast_path && std::fabs(t) < kFastLimitScaled) {
            // Truncating conversion; below 2^53 a signed one is exact and cheap.
            const auto mag = static_cast<std::uint64_t>(static_cast<std::int64_t>(std::fabs(t)));
            p = write_scaled_decimal(p, std::signbit(x), mag);
        } else {
            const double q = std::trunc(t) / kScale;
            char tmp[kGeneralBound];
            const char* end = write_general(q, tmp);
            // At most 42 bytes ("-" + 39 digits + ".0") for a 32-bit input.
            const auto len = static_cast<std::size_t>(end - tmp);
            std::memcpy(p, tmp, len);
            p += len;
        }
    }
    *p++ = ']';
    sink(static_cast<const char*>(buf), static_cast<std::size_t>(p - buf));
}

// A failed libcrypto call, named by the call, with the reason of the most
// recent error the library queued. The queue is cleared, so that no later
// libcrypto user on this thread (Python's own hashlib or ssl included) finds
// a stale error. A failed allocation is reported as one.
class OpenSslFailure : public InternalFailure {
public:
    OpenSslFailure(std::string message, const char* file, int line)
        : InternalFailure("error in OpenSSL", file, line), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] void openssl_failed(const char* call, const char* file, int line) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code != 0 && ERR_GET_REASON(code) == ERR_R_MALLOC_FAILURE) throw std::bad_alloc();
    std::string message = std::string("error in OpenSSL function ") + call + "()";
    if (code != 0) {
        const char* lib = ERR_lib_error_string(code);
        const char* reason = ERR_reason_error_string(code);
        message += ": ";
        if (lib != nullptr) message += std::string("[") + lib + "] ";
        message += reason != nullptr ? reason : "unknown reason";
    }
    throw OpenSslFailure(std::move(message), file, line);
}

#define ZLN_OPENSSL_FAILED(call) openssl_failed(#call, __FILE__, __LINE__)

// SHA-256 implementation of libcrypto. Chosen when compiling: OpenSSL 3
// fetches it once per process and keeps it (EVP_sha256() there would look
// the implementation up again on every digest); OpenSSL 1.1.1 has only the
// built-in table EVP_sha256() returns. ZLN_OPENSSL_LEGACY_DIGEST forces the
// latter against OpenSSL 3, so that both branches are built and tested.
#if OPENSSL_VERSION_NUMBER >= 0x30000000L && !defined(ZLN_OPENSSL_LEGACY_DIGEST)
constexpr bool kSha256Fetched = true;
const EVP_MD* sha256_md() {
    static std::atomic<EVP_MD*> cached{nullptr};
    EVP_MD* md = cached.load(std::memory_order_acquire);
    if (md != nullptr) return md;
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (fetched == nullptr) ZLN_OPENSSL_FAILED(EVP_MD_fetch);
    EVP_MD* expected = nullptr;
    if (cached.compare_exchange_strong(expected, fetched, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return fetched;
    }
    EVP_MD_free(fetched);  // another thread won; use its object
    return expected;
}
#else
constexpr bool kSha256Fetched = false;
const EVP_MD* sha256_md() {
    const EVP_MD* md = EVP_sha256();
    if (md == nullptr) ZLN_OPENSSL_FAILED(EVP_sha256);
    return md;
}
#endif

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const noexcept { EVP_MD_CTX_free(c); }
};

void digest_embedding_text(EVP_MD_CTX* ctx, const float* v, std::size_t n, unsigned char* out) {
    if (EVP_DigestInit_ex(ctx, sha256_md(), nullptr) != 1) ZLN_OPENSSL_FAILED(EVP_DigestInit_ex);
    emit_embedding_text(v, n, true, [&](const char* data, std::size_t len) {
        if (EVP_DigestUpdate(ctx, data, len) != 1) ZLN_OPENSSL_FAILED(EVP_DigestUpdate);
    });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &digest_len) != 1) ZLN_OPENSSL_FAILED(EVP_DigestFinal_ex);
    if (digest_len != 32) ZLN_INTERNAL_FAILURE("EVP_DigestFinal_ex() gave a SHA-256 digest that is not 32 bytes long");
    std::memcpy(out, digest, 32);
}

EVP_MD_CTX* new_md_ctx() {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) {
        ERR_clear_error();
        throw std::bad_alloc();
    }
    return ctx;
}

std::string sha256_of_embedding_text(const float* v, std::size_t n) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(new_md_ctx());
    unsigned char digest[32];
    digest_embedding_text(ctx.get(), v, n, digest);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(64, '\0');
    for (unsigned int i = 0; i < 32; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    return out;
}

}  // namespace

double quantize_to_6_places(float x) noexcept {
    const double y = static_cast<double>(x) * kScale;
    const double n = std::trunc(y + std::copysign(kAlmostHalf, y));
    return n / kScale;  // a division, not a multiplication by 1e-6
}

void canonical_float_text_general(double q, std::string& out) {
    char tmp[kGeneralBound];
    const char* end = write_general(q, tmp);
    out.append(tmp, static_cast<std::size_t>(end - tmp));
}

bool canonical_float_text_fast(double q, std::string& out) {
    const double a = std::fabs(q);
    if (!(a < kFastLimit)) return false;  // NaN included
    // Recover the integer m with m / 1e6 rounding to a. a * 1e6 is within one
    // unit of m here, so m is the floor of it or the next integer; checking
    // the division also rejects values that are not of that form at all
    // (those are left to the general path).
    const double y = a * kScale;
    auto m = static_cast<std::uint64_t>(static_cast<std::int64_t>(y));
    if (static_cast<double>(m) / kScale != a) {
        ++m;
        if (static_cast<double>(m) / kScale != a) return false;
    }
    char tmp[32 + kSlack];
    const char* end = write_scaled_decimal(tmp, std::signbit(q), m);
    out.append(tmp, static_cast<std::size_t>(end - tmp));
    return true;
}

void canonical_float_text(double q, std::string& out) {
    if (!canonical_float_text_fast(q, out)) canonical_float_text_general(q, out);
}

std::string canonical_embedding_text(const float* v, std::size_t n, bool use_fast_path) {
    std::string out;
    // An element of a normalised vector takes about ten bytes with its
    // separator; longer texts grow the string as usual.
    if (n < out.max_size() / 16) out.reserve(2 + 12 * n);
    emit_embedding_text(v, n, use_fast_path, [&](const char* data, std::size_t len) { out.append(data, len); });
    return out;
}

std::string compute_embedding_sha256(const float* v, std::size_t n) { return sha256_of_embedding_text(v, n); }

EmbeddingDigester::EmbeddingDigester() : ctx_(new_md_ctx()) {}

EmbeddingDigester::~EmbeddingDigester() { EVP_MD_CTX_free(ctx_); }

void EmbeddingDigester::digest(const float* v, std::size_t n, unsigned char* out) {
    digest_embedding_text(ctx_, v, n, out);
}

const char* sha256_source() noexcept { return kSha256Fetched ? "EVP_MD_fetch" : "EVP_sha256"; }

}  // namespace zln::lsh
