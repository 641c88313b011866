#pragma once

#include <QObject>

class QSocketNotifier;

namespace kr7 {

// SIGINT and SIGTERM as a signal on the event loop, so that a program can end cleanly (ports closed, the log
// complete): the handler itself only writes the signal's number into a pipe that a notifier watches.
// One per program.
class StopSignals : public QObject {
    Q_OBJECT
  public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;
    // False when the pipe could not be made: the signals then end the program as they would anyway.
    bool isValid() const { return m_notifier != nullptr; }

  signals:
    void received(int signal);

  private:
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace kr7
