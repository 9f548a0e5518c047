#include "FendralCore/foundation/Int2Txt.h"

#include <cstring>

const char DIGIT_CHARS[] = "0123456789ABCDEF";

namespace
{

// Digits of value in base, least significant first; returns their count.
int32 digitsReversed(uint64 value, int32 base, char (&digits)[64])
{
    int32 n = 0;
    do
    {
        digits[n++] = DIGIT_CHARS[value % static_cast<uint64>(base)];
        value /= static_cast<uint64>(base);
    } while (value != 0);
    return n;
}

} // namespace

int32 int2TxtRightAlign(uint64 value, char* dest, int32 width, int32 base, bool spaceFill)
{
    if (base < 2 || base > 16 || dest == nullptr || width < 1)
        return 0;
    char digits[64];
    const int32 n = digitsReversed(value, base, digits);
    if (n > width)
        return 0;
    const int32 pad = width - n;
    std::memset(dest, spaceFill ? ' ' : '0', static_cast<size_t>(pad));
    for (int32 i = 0; i < n; ++i)
        dest[pad + i] = digits[n - 1 - i];
    return 1;
}

int32 int2TxtLeftAlign(uint64 value, char* dest, int32 width, int32 base, bool spaceFill)
{
    if (base < 2 || base > 16 || dest == nullptr || width < 1)
        return 0;
    char digits[64];
    const int32 n = digitsReversed(value, base, digits);
    if (n > width)
        return 0;
    for (int32 i = 0; i < n; ++i)
        dest[i] = digits[n - 1 - i];
    if (n < width)
    {
        if (spaceFill)
            std::memset(dest + n, ' ', static_cast<size_t>(width - n));
        else
            dest[n] = '\0';
    }
    return 1;
}
