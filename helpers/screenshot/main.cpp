// kr7-screenshot FILE: the panel in its full view on the simulated projector, after a STATUS query, as PNG.
#include "form1.h"
#include "projectorsim.h"

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {
void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kr7-screenshot FILE.png\n");
        return 2;
    }
    kr7::sim::ProjectorSim projector;
    if (!projector.openPty()) {
        std::fprintf(stderr, "%s\n", qPrintable(projector.errorString()));
        return 1;
    }
    kr7::Form1 form({projector.devicePath(), QStringLiteral("/dev/ttyS1")});
    if (const auto error = form.Form_Load()) {
        std::fprintf(stderr, "%s\n", qPrintable(*error));
        return 1;
    }
    form.show();
    form.Form_KeyDown();    // the service chord
    form.Image1_DblClick(); // the full view
    form.findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(QStringLiteral("CR PRESSURE"));
    form.link().setSendIntervals(3000, 3000);
    form.findChild<QPushButton *>(QStringLiteral("Command44"))->click(); // STATUS
    form.Command33_Click();                                              // the port settings frame too
    runFor(500);
    if (!form.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
