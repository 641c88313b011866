#include "form1.h"
#include "kr7version.h"
#include "layout.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

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
} // namespace

int main(int argc, char *argv[]) {
    std::unique_ptr<QCoreApplication> application;
    if (onlyAsksForInformation(argc, argv))
        application = std::make_unique<QCoreApplication>(argc, argv);
    else
        application = std::make_unique<QApplication>(argc, argv);
    QCoreApplication &app = *application;
    QCoreApplication::setApplicationName(QStringLiteral("kr7-control"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KR7_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("kr7-control"));

    const kr7::PortMap defaults = kr7::PortMap::platformDefault();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Control panel for KR7 projectors on an RS-232C line."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption com1(QStringLiteral("com1"), QStringLiteral("Device opened by COM1."),
                                  QStringLiteral("DEVICE"), defaults.com1);
    const QCommandLineOption com2(QStringLiteral("com2"), QStringLiteral("Device opened by COM2."),
                                  QStringLiteral("DEVICE"), defaults.com2);
    parser.addOption(com1);
    parser.addOption(com2);
    parser.process(app);

    kr7::Form1 form({parser.value(com1), parser.value(com2)});
    if (const std::optional<QString> error = form.Form_Load()) {
        QMessageBox::critical(nullptr, form.windowTitle(), *error);
        return 1;
    }
    form.show();
    return app.exec();
}
