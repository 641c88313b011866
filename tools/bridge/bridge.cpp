#include "bridge.h"

#include "httpface.h"
#include "kr7version.h"
#include "linepoller.h"
#include "say.h"

namespace kr7::bridge {

Bridge::Bridge(Config config, traffic::TrafficLog *log, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_state(m_config) {
    for (qsizetype l = 0; l < m_config.lines.size(); ++l)
        m_pollers.push_back(std::make_unique<LinePoller>(m_state, int(l), m_config, log));
}

Bridge::~Bridge() = default;

bool Bridge::start(QString *error) {
    m_http = std::make_unique<HttpFace>(m_state);
    if (!m_http->listenOn(m_config.listenHost, m_config.listenPort, error))
        return false;
    const QString host = m_config.listenHost.contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + m_config.listenHost + QLatin1Char(']')
                             : m_config.listenHost;
    say(QStringLiteral("%1 started: %2 projectors on %3 lines, polled every %4 s; HTTP on %5:%6")
            .arg(QStringLiteral(KR7_VERSION))
            .arg(m_config.projectorCount())
            .arg(m_config.lines.size())
            .arg(m_config.pollIntervalS)
            .arg(host)
            .arg(m_config.listenPort));
    for (auto &p : m_pollers)
        p->start();
    return true;
}

void Bridge::stop() {
    for (auto &p : m_pollers)
        p->stop();
    m_http.reset();
}

} // namespace kr7::bridge
