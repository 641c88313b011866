#pragma once

#include "exchange.h"
#include "serialline.h"

#include <QList>
#include <QObject>
#include <QString>

namespace kr7::bridge {

// What one port said when it was asked.
struct ScanResult {
    QString port;
    int baud = 0; // the speed at which something answered; 0 when nothing did
    struct Unit {
        QString unit;   // "single", "1".."4"
        QString status; // the power status text, or the reply as it came when it is none
    };
    QList<Unit> answered;
    QString error; // the port could not be used (said instead of fought over)
};

// The projectors' names a scan proposes: the port's last path element or host, and the unit, in the names'
// alphabet ("ttyusb0-1", "hall-b-gw"), each unique among results.
QList<QStringList> scanNames(const QList<ScanResult> &results);
// The lines: section for the configuration, with every projector that answered and a comment per unit.
QByteArray scanSection(const QList<ScanResult> &results);

// Asks CR0 of a single projector and of units 1-4 (never ALL: every unit would answer at once), one exchange
// at a time, at 19200 bit/s and, when nothing answered, at 9600.
class PortScan : public QObject {
    Q_OBJECT
  public:
    static constexpr int kWindowMs = 500;

    explicit PortScan(const QString &port, QObject *parent = nullptr);
    void start();
    const ScanResult &result() const { return m_result; }

  signals:
    void finished();

  private:
    void askNext();
    void onAnswered(const ExchangeResult &result);
    void finish(const QString &error = QString());

    SerialLine m_line;
    LineExchange m_exchange;
    ScanResult m_result;
    int m_next = 0;
    bool m_done = false;
};

} // namespace kr7::bridge
