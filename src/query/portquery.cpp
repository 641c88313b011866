#include "portquery.h"

#include "traffictap.h"

namespace kr7::query {

PortQuery::PortQuery(QString port, const Plan &plan, traffic::TrafficLog *trafficLog, QObject *parent)
    : QObject(parent), m_port(std::move(port)), m_plan(plan), m_line(PortMap{m_port, QString()}),
      m_exchange(m_line) {
    m_line.setReopenWhenBack(false); // a lost port ends this run; the next run tries again
    m_line.setSettings(plan.settings);
    if (trafficLog) {
        m_tap = std::make_unique<TrafficTap>(*trafficLog, [this] { return m_port; });
        m_tap->watchPort(m_line);
        m_tap->watchExchanges(m_exchange);
    }
    connect(&m_line, &SerialLine::opened, this, &PortQuery::sendNext);
    connect(&m_line, &SerialLine::openFailed, this, &PortQuery::onFailed);
    connect(&m_line, &SerialLine::portLost, this, &PortQuery::onFailed);
    connect(&m_exchange, &LineExchange::finished, this, &PortQuery::onAnswered);
    connect(&m_exchange, &LineExchange::settled, this, &PortQuery::sendNext);
}

PortQuery::~PortQuery() = default;

void PortQuery::start() {
    m_line.setPortOpen(true); // opened() or openFailed() follows, at once or from the event loop
}

void PortQuery::onFailed(const QString &message) {
    if (m_done)
        return;
    m_error = message;
    stop();
}

void PortQuery::sendNext() {
    if (m_done || m_exchange.busy())
        return;
    if (m_next >= m_plan.commands.size())
        return finish();
    const Plan::Command &command = m_plan.commands[m_next++];
    Result r;
    r.port = m_port;
    r.unit = m_plan.unit;
    r.word = command.word;
    r.code = command.code;
    if (!m_exchange.ask(m_plan.prefix, command.code, m_plan.timeoutMs))
        return onFailed(QStringLiteral("%1: write failed").arg(m_port));
    m_results << r;
}

void PortQuery::onAnswered(const ExchangeResult &result) {
    Result &r = m_results.last();
    static_cast<ExchangeResult &>(r) = result;
    if (m_next >= m_plan.commands.size())
        return finish(); // the last: no need to wait for the line to settle
    if (!m_exchange.busy())
        sendNext(); // else when the line has settled
}

void PortQuery::stop() {
    if (m_done)
        return;
    if (m_exchange.awaitingReply()) { // the command under way did not finish
        m_exchange.abandon();
        m_results.removeLast();
    }
    finish();
}

void PortQuery::finish() {
    if (m_done)
        return;
    m_done = true;
    m_exchange.abandon();
    m_line.setPortOpen(false); // the log's CLOSED record comes from the tap
    emit finished();
}

} // namespace kr7::query
