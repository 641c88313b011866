#pragma once

#include "face.h"
#include "historyfile.h"
#include "state.h"

#include <QTimer>

#include <memory>

namespace kr7::bridge {

// The history face: every event the core sees (commands with their origin, changes of state, alarms, the
// service's own) and, every 10 minutes, a sample of each projector that answers, written to the history file.
// On by default under the unit ($STATE_DIRECTORY/history.sqlite); run by hand without a file named, it says
// once that the history is off and why.
class HistoryFace : public Face {
    Q_OBJECT
  public:
    static constexpr int kSampleEveryMs = 600000;
    static const FaceFamily kRows, kBytes, kWriteErrors, kDropped, kLastWrite;

    HistoryFace(FaceServices services, const Settings &settings, QObject *parent = nullptr);
    ~HistoryFace() override;

    QString name() const override { return QStringLiteral("history"); }
    bool start(QString *error) override;
    FaceReload reconfigure(const Settings &next) override;
    void stop() override;

  private:
    void open();
    void sample();
    void onStats(const HistoryStats &stats);
    void clearStats();

    FaceServices m_services;
    HistoryConfig m_config;
    HistoryPlace m_place;
    std::unique_ptr<HistoryWriter> m_writer;
    QTimer m_samples;
};

// A projector's sample as the history keeps it.
Sample sampleOf(const ProjectorState &p, qint64 atMs);

} // namespace kr7::bridge
