#include "scan.h"

#include "catalogue.h"
#include "portname.h"
#include "readings.h"

#include <QRegularExpression>

namespace kr7::bridge {

namespace {

constexpr std::array<const char *, 5> kUnits{"single", "1", "2", "3", "4"};
constexpr std::array<int, 2> kSpeeds{19200, 9600};

QString prefixOf(const QString &unit) {
    return fromView(findUnit(unit.toStdString())->prefix);
}

// The port's own word: the last element of a device path, or the gateway's host.
QString baseName(const QString &port) {
    const auto parsed = parsePortName(port);
    const PortName *name = std::get_if<PortName>(&parsed);
    QString base = !name ? port : name->isNetwork() ? name->host : name->device.section(QLatin1Char('/'), -1);
    base = base.toLower();
    static const QRegularExpression other(QStringLiteral("[^a-z0-9_-]+"));
    base.replace(other, QStringLiteral("-"));
    while (base.startsWith(QLatin1Char('-')) || base.startsWith(QLatin1Char('_')))
        base.remove(0, 1);
    if (base.isEmpty())
        base = QStringLiteral("line");
    return base.left(56);
}

} // namespace

QList<QStringList> scanNames(const QList<ScanResult> &results) {
    QList<QStringList> names;
    QSet<QString> taken{QStringLiteral("bridge")};
    for (const ScanResult &r : results) {
        QStringList line;
        const QString base = baseName(r.port);
        for (const ScanResult::Unit &u : r.answered) {
            const QString wanted =
                u.unit == QLatin1String("single") ? base : base + QLatin1Char('-') + u.unit;
            QString name = wanted;
            for (int n = 2; taken.contains(name); ++n)
                name = wanted + QLatin1Char('-') + QString::number(n);
            taken.insert(name);
            line << name;
        }
        names << line;
    }
    return names;
}

QByteArray scanSection(const QList<ScanResult> &results) {
    const QList<QStringList> names = scanNames(results);
    QByteArray out = "lines:\n";
    bool any = false;
    for (qsizetype i = 0; i < results.size(); ++i) {
        const ScanResult &r = results[i];
        if (!r.error.isEmpty()) {
            out += "  # " + r.port.toUtf8() + ": not asked: " + r.error.toUtf8().replace('\n', ' ') + "\n";
            continue;
        }
        if (r.answered.isEmpty()) {
            out += "  # " + r.port.toUtf8() + ": no projector answered at 19200 or 9600 bit/s\n";
            continue;
        }
        any = true;
        // A projector that answers without an address as well as numbered units: one of the units also takes
        // lines without a prefix. The units are what the bridge watches.
        QList<ScanResult::Unit> units = r.answered;
        const bool both = units.size() > 1 && units.first().unit == QLatin1String("single");
        QStringList lineNames = names[i];
        if (both) {
            units.removeFirst();
            lineNames.removeFirst();
        }
        out += "  - port: '" + r.port.toUtf8().replace('\'', "''") + "'\n";
        out += "    speed: " + QByteArray::number(r.baud) + "\n";
        if (both)
            out += "    # a projector also answers without an address: the numbered units are listed\n";
        out += "    projectors:\n";
        for (qsizetype u = 0; u < units.size(); ++u)
            out += "      - {name: " + lineNames[u].toUtf8() + ", unit: " + units[u].unit.toUtf8() + "}  # " +
                   units[u].status.toUtf8().replace('\n', ' ') + "\n";
    }
    if (!any)
        out.replace("lines:\n", "# lines: none answered\n");
    return out;
}

PortScan::PortScan(const QString &port, QObject *parent)
    : QObject(parent), m_line(PortMap{port, QString()}), m_exchange(m_line) {
    m_result.port = port;
    m_line.setReopenWhenBack(false);
    m_line.setSettings(QStringLiteral("%1,N,8,1").arg(kSpeeds[0]));
    connect(&m_line, &SerialLine::opened, this, &PortScan::askNext);
    connect(&m_line, &SerialLine::openFailed, this, [this](const QString &why) { finish(why); });
    connect(&m_line, &SerialLine::portLost, this, [this](const QString &why) { finish(why); });
    connect(&m_exchange, &LineExchange::finished, this, &PortScan::onAnswered);
    connect(&m_exchange, &LineExchange::settled, this, &PortScan::askNext);
}

void PortScan::start() {
    m_line.setPortOpen(true);
}

void PortScan::askNext() {
    if (m_done || m_exchange.busy())
        return;
    const int speed = m_next / int(kUnits.size());
    if (m_next % int(kUnits.size()) == 0 && speed > 0) {
        if (!m_result.answered.isEmpty() || speed >= int(kSpeeds.size()))
            return finish();
        m_line.setSettings(QStringLiteral("%1,N,8,1").arg(kSpeeds[size_t(speed)]));
    }
    const QString unit = QString::fromLatin1(kUnits[size_t(m_next % int(kUnits.size()))]);
    if (!m_exchange.ask(prefixOf(unit), QStringLiteral("CR0"), kWindowMs))
        return finish(m_line.errorString().isEmpty() ? QStringLiteral("the line did not take a line")
                                                     : m_line.errorString());
}

void PortScan::onAnswered(const ExchangeResult &result) {
    const int speed = kSpeeds[size_t(m_next / int(kUnits.size()))];
    const QString unit = QString::fromLatin1(kUnits[size_t(m_next % int(kUnits.size()))]);
    ++m_next;
    if (result.replied) {
        Readings r;
        r.read("power", result.reply);
        const QJsonValue status = r.value("power_status");
        m_result.baud = speed;
        m_result.answered << ScanResult::Unit{
            unit, status.isString() ? status.toString()
                                    : QStringLiteral("answers, but not with a power code: %1")
                                          .arg(QString::fromLatin1(result.reply.toPercentEncoding(" ")))};
    }
    askNext();
}

void PortScan::finish(const QString &error) {
    if (m_done)
        return;
    m_done = true;
    m_result.error = error;
    m_exchange.abandon();
    m_line.setPortOpen(false);
    emit finished();
}

} // namespace kr7::bridge
