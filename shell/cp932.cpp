#include "cp932.h"

#include <iconv.h>

#include <cerrno>

namespace palaver::shell {

namespace {

// One iconv conversion state, opened and closed around a call.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    // iconv_open reports failure as (iconv_t)-1.
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }  // NOLINT(performance-no-int-to-ptr)
    void reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

    // Converts the whole input: 0, or the errno of the sequence that stopped
    // it (EILSEQ invalid, EINVAL incomplete). `out` gets what was converted.
    int convert(std::string_view in, std::string& out, std::size_t& consumed) {
        out.clear();
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char buffer[256];
        int error = 0;
        while (srcLeft > 0) {
            char* dst = buffer;
            std::size_t dstLeft = sizeof buffer;
            std::size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<std::size_t>(dst - buffer));
            if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
                error = errno;
                break;
            }
        }
        consumed = in.size() - srcLeft;
        return error;
    }

private:
    iconv_t cd_;
};

bool isLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

}  // namespace

std::size_t cp932Prefix(std::string_view bytes, std::size_t maxBytes) {
    std::size_t i = 0;
    std::size_t limit = bytes.size() < maxBytes ? bytes.size() : maxBytes;
    while (i < limit) {
        std::size_t width = isLeadByte(static_cast<unsigned char>(bytes[i])) ? 2 : 1;
        if (i + width > limit) break;
        i += width;
    }
    return i;
}

std::string encodeCp932(const QString& text, std::size_t maxBytes) {
    Converter cv("CP932", "UTF-8");
    std::string result;
    if (!cv.valid()) return result;
    std::string converted;
    std::size_t consumed = 0;
    // Character by character, so that one character CP932 cannot hold costs
    // only itself and the byte limit falls between characters.
    for (auto it = text.cbegin(); it != text.cend();) {
        QString one(*it);
        if (it->isHighSurrogate() && it + 1 != text.cend()) {
            one.append(*(it + 1));
            ++it;
        }
        ++it;
        QByteArray utf8 = one.toUtf8();
        cv.reset();
        if (cv.convert(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())), converted,
                       consumed) != 0 ||
            converted.empty()) {
            converted.assign(1, '?');
        }
        if (result.size() + converted.size() > maxBytes) break;
        result += converted;
    }
    return result;
}

QString decodeCp932(std::string_view bytes) {
    Converter cv("UTF-8", "CP932");
    if (!cv.valid()) return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QString result;
    std::string converted;
    while (!bytes.empty()) {
        std::size_t consumed = 0;
        int error = cv.convert(bytes, converted, consumed);
        result += QString::fromUtf8(converted.data(), static_cast<qsizetype>(converted.size()));
        bytes.remove_prefix(consumed);
        if (error == 0 || error == EINVAL) break;  // done, or a character cut off at the end
        // An invalid sequence: show it as one replacement character per byte.
        result += QChar(QChar::ReplacementCharacter);
        bytes.remove_prefix(1);
        cv.reset();
    }
    return result;
}

}  // namespace palaver::shell
