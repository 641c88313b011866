#include "commandline.h"

#include "kr7version.h"
#include "trafficlog.h"

#include <QCoreApplication>

#include <cstdio>

namespace kr7::cli {

CommandLine::CommandLine(const QString &program, const QString &description)
    : m_program(program), m_log(QStringLiteral("log"),
                                QStringLiteral("Append every byte sent and received, timestamped, to FILE."),
                                QStringLiteral("FILE")) {
    QCoreApplication::setApplicationName(program);
    QCoreApplication::setApplicationVersion(QStringLiteral(KR7_VERSION));
    m_parser.setApplicationDescription(description);
    m_parser.addHelpOption();
    m_parser.addVersionOption();
}

void CommandLine::addLogOption() {
    m_parser.addOption(m_log);
    m_hasLog = true;
}

std::optional<int> CommandLine::parse(bool takesArguments) {
    if (!m_parser.parse(QCoreApplication::arguments()))
        return usage(m_parser.errorText());
    if (m_parser.isSet(QStringLiteral("help")))
        m_parser.showHelp(0);
    if (m_parser.isSet(QStringLiteral("version")))
        m_parser.showVersion();
    if (!takesArguments && !m_parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument '%1'").arg(m_parser.positionalArguments().first()));
    return std::nullopt;
}

int CommandLine::usage(const QString &text) const {
    std::fprintf(stderr, "%s: %s\n(%s --help tells how it is used)\n", qPrintable(m_program),
                 qPrintable(text), qPrintable(m_program));
    return 1;
}

int CommandLine::fail(const QString &text) const {
    std::fprintf(stderr, "%s: %s\n", qPrintable(m_program), qPrintable(text));
    return 1;
}

QString CommandLine::openLogFile(traffic::TrafficLog &log) const {
    QString error;
    if (m_hasLog && m_parser.isSet(m_log) && !log.open(m_parser.value(m_log), &error))
        return error;
    return QString();
}

bool CommandLine::openLog(traffic::TrafficLog &log, const QString &details) const {
    if (const QString error = openLogFile(log); !error.isEmpty()) {
        fail(error);
        return false;
    }
    if (log.isOpen())
        log.sessionStart(m_program, details);
    return true;
}

} // namespace kr7::cli
