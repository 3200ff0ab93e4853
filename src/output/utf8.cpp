#include "output/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QUORVA_UTF8_SSSE3 1
#endif

namespace quorva {

namespace {

bool isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Lead E0 to EF with two continuation bytes, neither overlong nor a surrogate.
bool isThreeByteCharacter(const unsigned char* bytes)
{
    const unsigned char lead = bytes[0];
    const unsigned char second = bytes[1];
    if ((lead & 0xF0) != 0xE0 || !isContinuation(second) || !isContinuation(bytes[2]))
        return false;
    return !(lead == 0xE0 && second < 0xA0) && !(lead == 0xED && second > 0x9F);
}

#ifdef QUORVA_UTF8_SSSE3

// Sixteen bytes at a time by table lookups on each byte's nibbles and its
// predecessor's, after Keiser and Lemire, "Validating UTF-8 in less than one
// instruction per byte" (2021). Checks every byte of the blocks against the
// bytes before it; a character still open at the end is left to the caller.
__attribute__((target("ssse3"))) bool blocksAreValid(const unsigned char* data, std::size_t size)
{
    constexpr char tooShort = 1 << 0;
    constexpr char tooLong = 1 << 1;
    constexpr char overlong3 = 1 << 2;
    constexpr char tooLarge = 1 << 3;
    constexpr char surrogate = 1 << 4;
    constexpr char overlong2 = 1 << 5;
    constexpr char tooLarge1000 = 1 << 6;
    constexpr char overlong4 = 1 << 6;
    constexpr char twoContinuations = static_cast<char>(1 << 7);
    constexpr char carry = tooShort | tooLong | twoContinuations;
    constexpr char large = carry | tooLarge | tooLarge1000;
    const __m128i firstHigh = _mm_setr_epi8(
        tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, twoContinuations,
        twoContinuations, twoContinuations, twoContinuations, tooShort | overlong2, tooShort,
        tooShort | overlong3 | surrogate, tooShort | tooLarge | tooLarge1000 | overlong4);
    const __m128i firstLow = _mm_setr_epi8(carry | overlong3 | overlong2 | overlong4,
                                           carry | overlong2, carry, carry, carry | tooLarge,
                                           large, large, large, large, large, large, large, large,
                                           large | surrogate, large, large);
    constexpr char continuation = tooLong | overlong2 | twoContinuations;
    const __m128i secondHigh = _mm_setr_epi8(
        tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort,
        continuation | overlong3 | tooLarge1000 | overlong4, continuation | overlong3 | tooLarge,
        continuation | surrogate | tooLarge, continuation | surrogate | tooLarge, tooShort,
        tooShort, tooShort, tooShort);
    const __m128i nibble = _mm_set1_epi8(0x0F);
    __m128i previous = _mm_setzero_si128();
    __m128i error = _mm_setzero_si128();
    for (std::size_t i = 0; i + 16 <= size; i += 16) {
        const __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i previous1 = _mm_alignr_epi8(input, previous, 15);
        const __m128i special = _mm_and_si128(
            _mm_and_si128(
                _mm_shuffle_epi8(firstHigh, _mm_and_si128(_mm_srli_epi16(previous1, 4), nibble)),
                _mm_shuffle_epi8(firstLow, _mm_and_si128(previous1, nibble))),
            _mm_shuffle_epi8(secondHigh, _mm_and_si128(_mm_srli_epi16(input, 4), nibble)));
        // A byte two after a three- or four-byte lead, or three after a four-byte
        // lead, must be a continuation: exactly where the table said two in a row.
        const __m128i third = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 14),
                                            _mm_set1_epi8(static_cast<char>(0xE0 - 0x80)));
        const __m128i fourth = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 13),
                                             _mm_set1_epi8(static_cast<char>(0xF0 - 0x80)));
        const __m128i mustContinue = _mm_and_si128(_mm_or_si128(third, fourth),
                                                   _mm_set1_epi8(static_cast<char>(0x80)));
        error = _mm_or_si128(error, _mm_xor_si128(mustContinue, special));
        previous = input;
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(error, _mm_setzero_si128())) == 0xFFFF;
}

#endif

bool isValidUtf8Scalar(const unsigned char* data, std::size_t size);

}  // namespace

bool isValidUtf8(std::string_view bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
#ifdef QUORVA_UTF8_SSSE3
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3 && size >= 64) {
        const std::size_t blocks = size & ~std::size_t{15};
        if (!blocksAreValid(data, blocks))
            return false;
        // Start again at the last character the blocks may have left open.
        std::size_t resume = blocks;
        for (std::size_t back = 1; back <= 3; ++back) {
            const unsigned char byte = data[blocks - back];
            if (byte >= 0xC0) {
                resume = blocks - back;
                break;
            }
            if (byte < 0x80)
                break;
        }
        return isValidUtf8Scalar(data + resume, size - resume);
    }
#endif
    return isValidUtf8Scalar(data, size);
}

namespace {

bool isValidUtf8Scalar(const unsigned char* data, std::size_t size)
{
    std::size_t i = 0;
    while (i < size) {
        unsigned char lead = data[i];
        if (lead < 0x80) {
            // Server output is mostly ASCII: skip it eight bytes at a time.
            ++i;
            while (i + 8 <= size) {
                std::uint64_t word;
                std::memcpy(&word, data + i, sizeof word);
                if (word & 0x8080808080808080ULL)
                    break;
                i += 8;
            }
            while (i < size && data[i] < 0x80)
                ++i;
            continue;
        }
        // Runs of three-byte characters, as in Thai text, stay in this loop.
        while (i + 3 <= size && isThreeByteCharacter(data + i)) {
            i += 3;
            if (i >= size)
                return true;
            lead = data[i];
        }
        if (lead < 0x80)
            continue;
        std::size_t length;
        unsigned char secondMin = 0x80;
        unsigned char secondMax = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                secondMin = 0xA0;  // overlong
            else if (lead == 0xED)
                secondMax = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                secondMin = 0x90;  // overlong
            else if (lead == 0xF4)
                secondMax = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        if (data[i + 1] < secondMin || data[i + 1] > secondMax)
            return false;
        for (std::size_t k = 2; k < length; ++k) {
            if (!isContinuation(data[i + k]))
                return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

}  // namespace quorva
