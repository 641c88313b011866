#pragma once

// Shared by the tests that drive the real QSerialPort against the simulated projector on a pseudo-terminal.

#include "form1.h"
#include "projectorsim.h"

#include <QAbstractButton>
#include <QTest>

#include <memory>

namespace kr7::test {

inline std::unique_ptr<sim::ProjectorSim> startSim(QList<int> units = {1, 2, 3, 4}) {
    auto s = std::make_unique<sim::ProjectorSim>(std::move(units), sim::Timing{600, 300, 60000});
    s->faults.replyDelayMs = 2;
    if (!s->openPty())
        qFatal("cannot open a pseudo-terminal: %s", qPrintable(s->errorString()));
    return s;
}

// The panel on a simulated projector, loaded and shown.
struct Bench {
    std::unique_ptr<sim::ProjectorSim> projector = startSim();
    std::unique_ptr<Form1> form;

    explicit Bench(QString com2 = QStringLiteral("/dev/kr7-test-no-such-port"),
                   traffic::TrafficLog *log = nullptr) {
        form = std::make_unique<Form1>(PortMap{projector->devicePath(), com2});
        if (log)
            form->setLog(log);
        if (const auto error = form->Form_Load())
            qFatal("load failed: %s", qPrintable(*error));
        form->show();
    }
    template <typename T = QAbstractButton> T *get(const char *name) const {
        auto *w = form->findChild<T *>(QString::fromLatin1(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    QString text(const char *label) const;
    // Waits until everything the panel has written so far has reached the projector, by sending a marker
    // line behind it on the same wire; returns the bytes that came before the marker and forgets them.
    QByteArray drain() {
        form->MSComm1().output("SYNC\r");
        if (!QTest::qWaitFor([&] { return projector->received().endsWith("SYNC\r"); }, 10000))
            return "(the marker never came)";
        const QByteArray before = projector->received().chopped(5);
        projector->clearReceived();
        return before;
    }
    // Clicks a control by name, as the operator would; the view is made full first so that it is reachable.
    void click(const char *name) {
        QWidget *w = get<QWidget>(name);
        QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, w->rect().center());
    }
};

} // namespace kr7::test

#include <QLabel>
inline QString kr7::test::Bench::text(const char *label) const {
    return get<QLabel>(label)->text();
}
