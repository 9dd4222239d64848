// The program's 8-bit text is Shift-JIS as Windows extends it (code page 932):
// typed text is encoded into it before it enters the node, and received bytes
// are decoded from it before they are drawn.
#pragma once

#include <QString>

#include <cstddef>
#include <string>
#include <string_view>

namespace palaver::shell {

// Encodes `text` as CP932, at most `maxBytes` bytes, never ending in the first
// half of a double-byte character. A character that CP932 cannot hold becomes
// '?'. Encoding stops at the first character that would not fit.
std::string encodeCp932(const QString& text, std::size_t maxBytes);

// Decodes CP932 bytes. An invalid byte shows as U+FFFD and decoding goes on
// with the next byte; an incomplete character at the end is dropped.
QString decodeCp932(std::string_view bytes);

// Length of the longest prefix of `bytes` (at most `maxBytes` long) that does
// not end in the lead byte of a split double-byte character.
std::size_t cp932Prefix(std::string_view bytes, std::size_t maxBytes);

}  // namespace palaver::shell
