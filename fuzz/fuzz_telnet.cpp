// Arbitrary bytes from a Telnet/RFC 2217 gateway, cut into arbitrary reads. Byte 0 chooses the cuts; the rest
// is what the gateway sent. However the reads fall, the client must give the same line bytes, the same
// answers and the same findings; and line bytes it encodes must come back out of a decoder unchanged.
#include "telnetclient.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using kr7::TelnetClient;

namespace {
TelnetClient::Read readAll(TelnetClient &client, QByteArrayView in, uint8_t cuts) {
    TelnetClient::Read all;
    qsizetype at = 0;
    for (int i = 0; at < in.size(); ++i) {
        // Piece sizes 1..8 from the bits of the seed, cycled.
        const qsizetype n = std::min<qsizetype>(1 + ((cuts >> (i % 6)) & 7), in.size() - at);
        TelnetClient::Read r = client.receive(in.sliced(at, n));
        all.data += r.data;
        all.reply += r.reply;
        all.agreedNow |= r.agreedNow;
        all.refusedNow |= r.refusedNow;
        all.notices += r.notices;
        at += n;
    }
    return all;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const QByteArrayView in(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    TelnetClient whole(19200), cut(19200);
    whole.greeting();
    cut.greeting();
    const TelnetClient::Read a = whole.receive(in);
    const TelnetClient::Read b = readAll(cut, in, data[0]);
    if (a.data != b.data || a.reply != b.reply || a.notices != b.notices || a.agreedNow != b.agreedNow ||
        a.refusedNow != b.refusedNow || whole.comPort() != cut.comPort())
        std::abort();
    if (a.data.size() > in.size())
        std::abort();

    // Line bytes through an encoder and a decoder that have both agreed to binary come back unchanged.
    TelnetClient sender, receiver;
    sender.greeting();
    receiver.greeting();
    const char doBinary[] = {char(255), char(253), char(0)};
    const char willBinary[] = {char(255), char(251), char(0)};
    sender.receive(QByteArrayView(doBinary, 3));
    receiver.receive(QByteArrayView(willBinary, 3));
    if (receiver.receive(sender.encode(in)).data != in.toByteArray())
        std::abort();
    return 0;
}
