#include "output/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

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

}  // namespace

bool isValidUtf8(std::string_view bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
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

}  // namespace quorva
