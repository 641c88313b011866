#pragma once

// Latency of the panel's line, whatever stands between it and the far end (a pseudo-terminal, a gateway).

#include "benchutil.h"
#include "form1.h"

#include <QLabel>

namespace bench {

// A line handed to Hyouji -> its carriage return readable at the far end.
inline std::vector<double> transmitLatency(FarEnd &far, kr7::Link &link, int samples) {
    std::vector<double> tx;
    for (int i = 0; i < samples; ++i) {
        far.take();
        const auto t0 = Clock::now();
        link.send(QStringLiteral("A001C00\r"));
        std::vector<Clock::time_point> ends;
        while (ends.empty()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            ends = far.take();
        }
        tx.push_back(ms(ends.front() - t0));
        runFor(2);
    }
    return tx;
}

// Bytes written at the far end -> the RXD field showing them. Exchanges 20 ms or more apart, as a
// technician's are: the field shows a streaming device's text at most every 20 ms.
inline std::vector<double> receiveLatency(FarEnd &far, kr7::Link &link, const QLabel *rxd, int samples) {
    std::vector<double> rx;
    for (int i = 0; i < samples; ++i) {
        link.Timer2_Timer();
        link.Timer4_Timer();
        const auto written = Clock::now();
        if (write(far.master, "00\r", 3) != 3)
            break;
        while (rxd->text().isEmpty())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        rx.push_back(ms(Clock::now() - written));
        runFor(kr7::Form1::kRxdRepaintMs + 2);
    }
    return rx;
}

} // namespace bench
