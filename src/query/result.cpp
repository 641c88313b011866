#include "result.h"

namespace kr7::query {

namespace {
// A JSON string. QJsonDocument would write bytes above 0x7E as UTF-8; the bytes of the line and the reply are
// each escaped (\u00HH), so the output stays ASCII and every byte is plain to see. Text (status texts, port
// names) keeps its UTF-8.
QByteArray jsonString(QByteArrayView bytes, bool escapeAbove7E) {
    QByteArray out = "\"";
    for (const char c : bytes) {
        const auto b = uint8_t(c);
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\t':
            out.append("\\t");
            break;
        default:
            if (b < 0x20 || (escapeAbove7E && b > 0x7E))
                out.append(QByteArray("\\u00") + QByteArray::number(b, 16).rightJustified(2, '0'));
            else
                out.append(c);
        }
    }
    return out.append('"');
}

QByteArray jsonText(const QString &text) {
    return jsonString(text.toUtf8(), false);
}
} // namespace

QByteArray jsonBytes(QByteArrayView bytes) {
    return jsonString(bytes, true);
}

QByteArray textLine(const Result &r) {
    QString result = QStringLiteral("no reply");
    if (r.status)
        result = r.status->trimmed();
    else if (r.replied)
        result = r.monitor.trimmed();
    return (r.port + QLatin1Char('\t') + r.word + QLatin1Char('\t') + result).toUtf8() + '\n';
}

QByteArray jsonLine(const Result &r) {
    QByteArray out = "{\"port\": " + jsonText(r.port);
    out += ", \"unit\": " + jsonText(r.unit);
    out += ", \"command\": " + jsonText(r.code);
    out += ", \"line\": " + jsonBytes(r.line);
    out += ", \"replied\": " + QByteArray(r.replied ? "true" : "false");
    out += ", \"reply\": " + jsonBytes(r.reply);
    out += ", \"monitor\": " + jsonText(r.monitor);
    out += ", \"status\": " + (r.status ? jsonText(*r.status) : QByteArray("null"));
    out += ", \"elapsed_ms\": " + QByteArray::number(r.elapsedMs, 'f', 1);
    return out + "}\n";
}

} // namespace kr7::query
