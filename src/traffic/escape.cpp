#include "escape.h"

namespace kr7::traffic {

QByteArray escape(QByteArrayView bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(bytes.size() + bytes.size() / 4 + 4);
    for (const char c : bytes) {
        const auto b = uint8_t(c);
        if (b == '\\')
            out.append("\\\\", 2);
        else if (b >= 0x20 && b <= 0x7E)
            out.append(c);
        else if (b == '\r')
            out.append("\\r", 2);
        else if (b == '\n')
            out.append("\\n", 2);
        else if (b == '\t')
            out.append("\\t", 2);
        else
            out.append('\\').append('x').append(kHex[b >> 4]).append(kHex[b & 15]);
    }
    return out;
}

std::optional<QByteArray> unescape(QByteArrayView text) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (uint8_t(c) < 0x20 || uint8_t(c) > 0x7E)
            return std::nullopt;
        if (c != '\\') {
            out.append(c);
            continue;
        }
        if (++i >= text.size())
            return std::nullopt;
        switch (text[i]) {
        case '\\':
            out.append('\\');
            break;
        case 'r':
            out.append('\r');
            break;
        case 'n':
            out.append('\n');
            break;
        case 't':
            out.append('\t');
            break;
        case 'x': {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = hex(text[i + 1]), low = hex(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out.append(char(high << 4 | low));
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

} // namespace kr7::traffic
