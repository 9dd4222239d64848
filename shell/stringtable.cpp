#include "stringtable.h"

#include <string_view>

namespace palaver::shell {

namespace {

struct StringEntry {
    int id;
    std::string_view text;
};

constexpr StringEntry StringTable[] = {
    {WindowTitleStringId, "palaver"},
    {WindowClassStringId, "PALAVER"},
};

}  // namespace

std::size_t loadString(int id, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    std::string_view text;
    for (const StringEntry& e : StringTable) {
        if (e.id == id) text = e.text;
    }
    std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    text.copy(buffer, n);
    buffer[n] = '\0';
    return n;
}

}  // namespace palaver::shell
