#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QStringList>

#include <array>
#include <cstdint>

namespace kr7 {

// The client side of a Telnet connection carrying a serial line with the COM-PORT-OPTION of RFC 2217, with
// no socket in it: the server's bytes go in; the line's bytes and the answers owed to the server come out.
// Its state lives across reads, so a command split at any byte is read as if it had come whole.
//
// It asks for binary transmission both ways and for the COM-PORT-OPTION, agrees to suppress-go-ahead, and
// refuses every other option (DONT/WONT), answering each request once (the "Q method" of RFC 1143, without
// its queue). Once the server takes the COM-PORT-OPTION it sets the line (speed, 8 data bits, no parity,
// 1 stop bit, no flow control) and compares the server's answers with what it asked.
class TelnetClient {
  public:
    static constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                             kSe = 240;
    static constexpr uint8_t kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPort = 44;
    // COM-PORT-OPTION commands, client to server; the server answers with the command + 100.
    static constexpr uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                             kSetControl = 5;
    static constexpr uint8_t kServerOffset = 100;

    enum class ComPort { NotYet, Agreed, Refused };

    explicit TelnetClient(quint32 baud = 19200) : m_baud(baud) {}

    // What the client says first: WILL COM-PORT-OPTION, WILL BINARY, DO BINARY.
    QByteArray greeting();

    struct Read {
        QByteArray data;         // the serial line's bytes, 0xFF undoubled
        QByteArray reply;        // to send to the server now
        bool agreedNow = false;  // the server took the COM-PORT-OPTION in this read
        bool refusedNow = false; // the server refused (or withdrew) it in this read
        QStringList notices;     // the server set the line otherwise than asked
    };
    Read receive(QByteArrayView bytes);

    // The line's bytes as they go on the socket: 0xFF doubled, and a carriage return followed by NUL while
    // binary transmission is not agreed (RFC 854).
    QByteArray encode(QByteArrayView data) const;

    // Sets the speed; the line is always 8 data bits, no parity, 1 stop bit and no flow control. Returns the
    // commands to send now: all five once the option is agreed, nothing before (they go out on agreement).
    QByteArray setBaud(quint32 baud);
    quint32 baud() const { return m_baud; }

    // No answer to the offer in time: count it as refused, once. A late agreement still sets the line.
    bool giveUp();

    ComPort comPort() const { return m_comPort; }

  private:
    enum class Q : uint8_t { No, Yes, WantNo, WantYes };
    enum class State : uint8_t { Data, Iac, Verb, Sub, SubIac };

    void onVerb(uint8_t verb, uint8_t option, Read &out);
    void onSubnegotiation(Read &out);
    void setComPort(bool agreed, Read &out);
    QByteArray settingsCommands();
    static bool weMay(uint8_t option);
    static bool serverMay(uint8_t option);
    static void put(QByteArray &to, uint8_t verb, uint8_t option);

    std::array<Q, 256> m_us{};     // options on our side (WILL/WONT)
    std::array<Q, 256> m_server{}; // options on the server's side (DO/DONT)
    State m_state = State::Data;
    uint8_t m_verb = 0;
    bool m_lastWasCr = false;
    QByteArray m_sub;          // the subnegotiation being read: option, then payload
    bool m_subTooLong = false; // longer than any we know: skipped to its end
    ComPort m_comPort = ComPort::NotYet;
    quint32 m_baud;
    // What each SET command asked, oldest first, until the server answers it: answers come in order, and a
    // quick second setting must not be compared with the answer to the first.
    std::array<QList<quint32>, 6> m_asked{};
};

} // namespace kr7
