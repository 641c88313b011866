#pragma once

#include "face.h"
#include "historyfile.h"
#include "lampdesk.h"
#include "lampreport.h"

#include <QTimer>

#include <map>
#include <memory>

namespace kr7::bridge {

struct StateChanges;

// What the bridge knows of the lamps beyond their hours. Each lamp's forecast end comes from the history's
// samples of the last 30 days (made again every hour and when a lamp changes); a lamp whose hours fall by
// more than 24 h between two readings was replaced (a lamp event in the history, its forecast begins again);
// an operator records a replacement's date, serial number and note (the console's POST .../lamps/N). The plan
// goes into each projector's readings, where every face finds it as readings of the table.
class LampFace : public Face {
    Q_OBJECT
  public:
    static constexpr int kPlanEveryMs = 3600000;

    LampFace(FaceServices services, const Settings &settings, QObject *parent = nullptr);
    ~LampFace() override;

    QString name() const override { return QStringLiteral("lamps"); }
    bool start(QString *error) override;
    FaceReload reconfigure(const Settings &next) override;
    void stop() override;

  private:
    void read();
    void loaded(const QList<Sample> &samples, const QList<Event> &events);
    void onChanges(const StateChanges &changes);
    void plan(int index);
    void planAll();
    LampDesk::Answer record(const QString &projector, int lamp, const LampNote &note, const Origin &origin);
    QJsonArray list() const;
    qint64 now() const;

    FaceServices m_services;
    Config m_config;
    QTimeZone m_zone;
    QString m_historyPath;
    std::unique_ptr<HistoryReader> m_reader;
    std::map<QString, LampRecords> m_records;                            // by projector
    std::map<QString, std::array<std::optional<double>, 4>> m_lastHours; // the last hours seen, by projector
    // The lamp events of this face since shortly before the last read was asked: the writer may not have
    // written them when the reader looks.
    QList<Event> m_recent;
    qint64 m_readAskedMs = 0;
    QTimer m_timer;
};

} // namespace kr7::bridge
