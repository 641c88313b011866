#include "form1.h"
#include "layout.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kr7-control"));
    QApplication::setApplicationVersion(QStringLiteral("1.40"));
    QApplication::setDesktopFileName(QStringLiteral("kr7-control"));

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
