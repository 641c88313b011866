// Arbitrary bytes from a PJLink controller: cut into requests (with and without a password), each answered
// against a projector that has answered everything. Byte 0 picks the session's password and the readings.
// Every reply is one line of the protocol's shape; only the catalogue's lines would be sent.
#include "pjlinkprotocol.h"
#include "setrequest.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace kr7::bridge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const bool guarded = data[0] & 1;
    static const Readings full = [] {
        Readings r;
        r.read("power", "00\r");
        r.read("input", "2\r");
        r.read("lamp-hours", "1234 1201 0987 1010\r");
        r.read("lamps", "0F\r");
        r.read("signal", "01\r");
        return r;
    }();
    static const Readings none;
    PjlinkProjector p;
    p.name = QStringLiteral("fuzz");
    p.port = QStringLiteral("/dev/ttyUSB0");
    p.unit = QStringLiteral("1");
    p.available = data[0] & 2;
    p.readings = data[0] & 4 ? &none : &full;
    p.inputs = {QStringLiteral("11"), QStringLiteral("12"), QStringLiteral("13"), QStringLiteral("14")};
    p.version = QStringLiteral("1.40");
    PjlinkSession session(guarded ? QByteArray("JBMIAProjectorLink") : QByteArray(), "498e4a67");
    const auto events =
        session.feed(QByteArrayView(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1)));
    for (const auto &e : events) {
        if (e.kind != PjlinkSession::Event::Kind::Request)
            continue;
        const PjlinkAnswer a = pjlinkAnswer(e.request, p);
        const QByteArray reply = pjlinkReply(e.request, a.value);
        if (reply.size() < 8 || reply[0] != '%' || reply.back() != '\r' || reply.count('\r') != 1 ||
            reply.contains('\n') || reply[6] != '=')
            std::abort();
        if (!a.code.isEmpty() && (!catalogueRequest(a.code) || !p.available))
            std::abort();
    }
    return 0;
}
