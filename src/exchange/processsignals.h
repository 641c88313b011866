#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

namespace kr7 {

// Signals of the process (SIGINT and SIGTERM to end cleanly, ports closed and the log complete; SIGHUP to
// read the configuration again) as a Qt signal on the event loop: the handler itself only writes the
// signal's number into a pipe that a notifier watches. One per program.
class ProcessSignals : public QObject {
    Q_OBJECT
  public:
    explicit ProcessSignals(std::initializer_list<int> watched, QObject *parent = nullptr);
    ~ProcessSignals() override;
    // False when the pipe could not be made: the signals then do what they would anyway.
    bool isValid() const { return m_notifier != nullptr; }

  signals:
    void received(int signal);

  private:
    QSocketNotifier *m_notifier = nullptr;
    QList<int> m_signals;
};

} // namespace kr7
