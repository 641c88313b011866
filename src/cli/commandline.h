#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

#include <optional>

namespace kr7::traffic {
class TrafficLog;
}

namespace kr7::cli {

// The command line as every program of the set reads it: its name and version set once, --help and
// --version, a usage error said on stderr as "PROGRAM: what" with a pointer to --help (exit status 1), and
// --log FILE for the traffic log, headed by the run's session start.
class CommandLine {
  public:
    // Names the application (a QCoreApplication must exist) and describes it for --help.
    CommandLine(const QString &program, const QString &description);

    QCommandLineParser &parser() { return m_parser; }
    const QString &program() const { return m_program; }
    void addOptions(const QList<QCommandLineOption> &options) { m_parser.addOptions(options); }
    // --log FILE.
    void addLogOption();
    bool isSet(const QCommandLineOption &o) const { return m_parser.isSet(o); }
    QString value(const QCommandLineOption &o) const { return m_parser.value(o); }

    // Reads the application's arguments. Nothing: go on. A status: end with it now (an error was said).
    // --help and --version are answered here and end the program.
    std::optional<int> parse(bool takesArguments = false);

    // Says a usage error and gives its exit status (1).
    int usage(const QString &text) const;
    // Says a problem that stops the program, "PROGRAM: text", and gives its exit status (1).
    int fail(const QString &text) const;

    // With --log: opens the file and heads the run ("session start: PROGRAM VERSION; details"). False when
    // it cannot be opened (said, naming the file).
    bool openLog(traffic::TrafficLog &log, const QString &details) const;
    // With --log: opens the file, without a heading (the panel heads its run when it loads). The reason,
    // naming the file, when it cannot be opened; empty otherwise.
    QString openLogFile(traffic::TrafficLog &log) const;

  private:
    QString m_program;
    QCommandLineParser m_parser;
    QCommandLineOption m_log;
    bool m_hasLog = false;
};

} // namespace kr7::cli
