#include "peer.h"

#include <climits>

namespace palaver {

int32_t readNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\v' ||
                               text[i] == '\f' || text[i] == '\r')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
        ++i;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<int32_t>(value);
}

int32_t nodeIdFromDraw(int r) {
    return static_cast<int32_t>(static_cast<double>(r) * 61037.01895199438);
}

int scaledIndex(int r, int k) {
    return static_cast<int>(static_cast<double>(r) * static_cast<double>(k) * (1.0 / 32767.0));
}

}  // namespace palaver
