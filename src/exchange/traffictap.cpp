#include "traffictap.h"

namespace kr7 {

using traffic::Kind;

TrafficTap::TrafficTap(traffic::TrafficLog &log, std::function<QString()> name, QObject *parent)
    : QObject(parent), m_log(log), m_name(std::move(name)) {}

void TrafficTap::watchPort(SerialLine &line) {
    const auto portText = [&line] { return QStringLiteral("%1 %2").arg(line.device(), line.settings()); };
    connect(&line, &SerialLine::opened, this,
            [this, portText] { m_log.text(m_name(), Kind::OPEN, portText()); });
    connect(&line, &SerialLine::openFailed, this, [this](const QString &error) {
        m_log.text(m_name(), Kind::CLOSED, QStringLiteral("open failed: ") + error);
    });
    connect(&line, &SerialLine::closed, this,
            [this, &line] { m_log.text(m_name(), Kind::CLOSED, line.device()); });
    connect(&line, &SerialLine::portLost, this,
            [this](const QString &error) { m_log.text(m_name(), Kind::LOST, error); });
    connect(&line, &SerialLine::portBack, this,
            [this, portText] { m_log.text(m_name(), Kind::BACK, portText()); });
    connect(&line, &SerialLine::settingsChanged, this,
            [this, &line] { m_log.text(m_name(), Kind::SPEED, line.settings()); });
    connect(&line, &SerialLine::notice, this,
            [this](const QString &text) { m_log.text(m_name(), Kind::SPEED, text); });
}

} // namespace kr7
