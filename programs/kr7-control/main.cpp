#include "builder.h"
#include "commandline.h"
#include "form1.h"
#include "layout.h"
#include "portname.h"
#include "trafficlog.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

namespace {
// --help and --version answer without a display, on a machine with no desktop at all.
bool onlyAsksForInformation(int argc, char *argv[]) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" || arg == "-v" ||
            arg == "--version")
            return true;
    }
    return false;
}

// Whether anybody can see a window: not on the offscreen or minimal platforms, where a box would wait for a
// click that cannot come.
bool hasScreen() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

// A start that cannot go on: said on stderr for scripts and in a box for the person at the screen.
int failStart(const QString &text, QWidget *parent = nullptr) {
    std::fprintf(stderr, "kr7-control: %s\n", qPrintable(text));
    if (hasScreen())
        QMessageBox::critical(parent, kr7::panel::toQString(kr7::panel::kCaption), text);
    return 1;
}
} // namespace

int main(int argc, char *argv[]) {
    std::unique_ptr<QCoreApplication> application;
    if (onlyAsksForInformation(argc, argv))
        application = std::make_unique<QCoreApplication>(argc, argv);
    else
        application = std::make_unique<QApplication>(argc, argv);
    QCoreApplication &app = *application;
    kr7::cli::CommandLine cli(
        QStringLiteral("kr7-control"),
        QStringLiteral(
            "Control panel for KR7 projectors on an RS-232C line.\n"
            "PORT is a device path (/dev/ttyUSB0, /dev/serial/by-id/...), tcp://HOST:PORT for a raw "
            "TCP gateway, or rfc2217://HOST:PORT for a Telnet gateway with RFC 2217 (ser2net, serial "
            "device servers)."));
    QGuiApplication::setDesktopFileName(QStringLiteral("kr7-control"));

    const kr7::PortMap defaults = kr7::PortMap::platformDefault();
    const QCommandLineOption com1(QStringLiteral("com1"), QStringLiteral("Port opened by COM1."),
                                  QStringLiteral("PORT"), defaults.com1);
    const QCommandLineOption com2(QStringLiteral("com2"), QStringLiteral("Port opened by COM2."),
                                  QStringLiteral("PORT"), defaults.com2);
    cli.addOptions({com1, com2});
    cli.addLogOption();
    if (const auto status = cli.parse())
        return *status;

    for (const QCommandLineOption &option : {com1, com2}) {
        const auto parsed = kr7::parsePortName(cli.value(option));
        if (const QString *error = std::get_if<QString>(&parsed))
            return failStart(QStringLiteral("--%1: %2").arg(option.names().constFirst(), *error));
    }

    // The log opens before any port, so that a log that cannot be written stops the start with nothing done.
    kr7::traffic::TrafficLog trafficLog;
    if (const QString error = cli.openLogFile(trafficLog); !error.isEmpty())
        return failStart(error);

    kr7::Form1 form({cli.value(com1), cli.value(com2)});
    if (trafficLog.isOpen())
        form.setLog(&trafficLog);
    QObject::connect(&form, &kr7::Form1::startFailed, &app, [&form](const QString &error) {
        failStart(error, &form);
        QCoreApplication::exit(1);
    });
    if (const std::optional<QString> error = form.Form_Load())
        return failStart(*error);
    form.show();
    return app.exec();
}
