#include "base/text.hpp"

#include <climits>
#include <cstring>

void copy_field(char *dst, std::size_t size, const char *src)
{
    if (size == 0)
        return;
    std::size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

int int_from_text(const char *text)
{
    // strtol's rule, without its locale and errno machinery: the file holds
    // a hundred numbers a line.
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    // Past 2^31 every further digit saturates all the same.
    constexpr long long kCap = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (magnitude <= kCap)
            magnitude = magnitude * 10 + (*text - '0');
    }
    if (negative)
        return magnitude >= kCap ? INT_MIN : static_cast<int>(-magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

const char *shown_name(const char *name, char *shown, std::size_t size)
{
    std::size_t i = 0;
    for (; i + 1 < size && name[i] != '\0'; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        shown[i] = (c >= 0x20 && c <= 0x7e) ? name[i] : '?';
    }
    shown[i] = '\0';
    return shown;
}
