#include "port.h"

#include "deviceport.h"
#include "tcpport.h"

namespace kr7 {

std::unique_ptr<Port> Port::create(const PortName &name, QObject *parent) {
    switch (name.kind) {
    case PortName::Kind::Tcp:
        return std::make_unique<TcpPort>(name.host, name.port, false, parent);
    case PortName::Kind::Rfc2217:
        return std::make_unique<TcpPort>(name.host, name.port, true, parent);
    case PortName::Kind::Device:
        break;
    }
    return std::make_unique<DevicePort>(name.device, parent);
}

} // namespace kr7
