// Arbitrary reply bytes, for a chosen query line and address prefix: monitor text, then decoding, and where
// kr7-query takes the reply to end.
// Byte 0 picks the query, byte 1 the prefix at send time, byte 2 the prefix at receive time; the rest is the
// reply as it came off the line.
#include "monitortext.h"
#include "replyframe.h"
#include "statusdecoder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
constexpr std::array<const char *, 14> kQueries = {
    "CR0", "CR1",         "CR3",         "CR4", "CR6", "CR7", "CR9",
    "CRA", "CR PRESSURE", "CR ALLPFAIL", "C00", "cr0", "",    "CF INPUT4 HD-SDI1"};
constexpr std::array<const char *, 6> kPrefixes = {"", "AFFF", "A001", "A002", "A003", "A004"};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return 0;
    const QString query = QString::fromLatin1(kQueries[data[0] % kQueries.size()]);
    const QString sentPrefix = QString::fromLatin1(kPrefixes[data[1] % kPrefixes.size()]);
    const QString prefixNow = QString::fromLatin1(kPrefixes[data[2] % kPrefixes.size()]);
    const QString reply = QString::fromLatin1(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3));

    const QString sendLine = sentPrefix + query + QLatin1Char('\r');
    const QString rxd = kr7::monitorText(reply);
    if (rxd.isEmpty() || rxd.front() != QLatin1Char(' '))
        std::abort();
    // The receive path builds the same text token by token.
    QString built = QStringLiteral(" ");
    kr7::appendMonitorTokens(built, reply);
    if (reply.size() <= kr7::kMonitorMaxChars && built != rxd)
        std::abort();

    const std::optional<QString> status = kr7::decodeStatus(sendLine, prefixNow, rxd);
    // A section only applies when the prefix is unchanged.
    if (status && sentPrefix != prefixNow)
        std::abort();
    (void)kr7::pressureText(rxd);

    // kr7-query's framing of the same bytes: the reply ends inside them, at a carriage return or a lone ACK.
    const QByteArray bytes(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3));
    const qsizetype end = kr7::replyEnd(bytes);
    if (end == 0 || end > bytes.size() || (end > 0 && bytes[end - 1] != '\r' && bytes != "\x06"))
        std::abort();
    if (end < 0 && bytes.contains('\r'))
        std::abort();
    return 0;
}
