#pragma once

#include <QString>

#include <variant>

namespace kr7 {

// Where a port is: a serial device on this machine, or a serial line behind a network gateway.
//   /dev/ttyUSB0, /dev/serial/by-id/..., a symlink, a pty   a device path
//   tcp://HOST:PORT                                         raw TCP: socket bytes are line bytes
//   rfc2217://HOST:PORT                                     Telnet with the COM-PORT-OPTION (RFC 2217)
// HOST is a name, an IPv4 address, or an IPv6 address in brackets.
struct PortName {
    enum class Kind { Device, Tcp, Rfc2217 };
    Kind kind = Kind::Device;
    QString text;   // as written
    QString device; // Device
    QString host;   // Tcp, Rfc2217; an IPv6 address without its brackets
    quint16 port = 0;

    bool isNetwork() const { return kind != Kind::Device; }
    // HOST:PORT as written in the name (IPv6 in brackets).
    QString endpoint() const;
};

// The name, or a message that quotes it and says what is wrong.
std::variant<PortName, QString> parsePortName(const QString &text);

} // namespace kr7
