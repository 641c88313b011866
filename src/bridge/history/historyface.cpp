#include "historyface.h"

#include "events.h"
#include "journal.h"

#include <QDateTime>
#include <QJsonArray>

namespace kr7::bridge {

const FaceFamily HistoryFace::kRows{"kr7_history_rows", "gauge", "Rows in the history file, by table."};
const FaceFamily HistoryFace::kBytes{"kr7_history_bytes", "gauge",
                                     "The history file's size on disk, its write-ahead log included."};
const FaceFamily HistoryFace::kWriteErrors{"kr7_history_write_errors_total", "counter",
                                           "Times the history file could not be opened or written."};
const FaceFamily HistoryFace::kDropped{"kr7_history_dropped_total", "counter",
                                       "History rows dropped because too many waited for the file."};
const FaceFamily HistoryFace::kLastWrite{"kr7_history_last_write_timestamp_seconds", "gauge",
                                         "When rows last reached the history file, in seconds since 1970."};

Sample sampleOf(const ProjectorState &p, qint64 atMs) {
    Sample s;
    s.atMs = atMs;
    s.projector = p.name;
    s.powerCode = p.readings.value("power_code").toString();
    const QJsonArray hours = p.readings.value("lamp_hours").toArray();
    for (qsizetype i = 0; i < 4 && i < hours.size(); ++i)
        if (hours[i].isDouble())
            s.lampHours[size_t(i)] = qint64(hours[i].toDouble());
    const QJsonArray temps = p.readings.value("temperature").toArray();
    for (qsizetype i = 0; i < 2 && i < temps.size(); ++i)
        if (temps[i].isDouble())
            s.temperatures[size_t(i)] = temps[i].toDouble();
    if (const QJsonValue hpa = p.readings.value("pressure_hpa"); hpa.isDouble())
        s.pressureHpa = qint64(hpa.toDouble());
    return s;
}

HistoryFace::HistoryFace(FaceServices services, const Settings &settings, QObject *parent)
    : Face(parent), m_services(services), m_config(settings.config.history), m_place(historyPlace(m_config)) {
    connect(&m_services.events, &Events::happened, this, [this](const Event &e) {
        if (m_writer)
            m_writer->add(e);
    });
    connect(&m_services.events, &Events::kept, this, [this](const ScheduleRecord &r) {
        if (m_writer)
            m_writer->add(r);
    });
    m_samples.setInterval(kSampleEveryMs);
    connect(&m_samples, &QTimer::timeout, this, &HistoryFace::sample);
}

HistoryFace::~HistoryFace() = default;

bool HistoryFace::start(QString *) {
    open();
    return true;
}

void HistoryFace::open() {
    m_writer.reset();
    m_samples.stop();
    clearStats();
    if (m_place.path.isEmpty()) {
        journal(QStringLiteral("history is off: %1").arg(m_place.whyOff));
        return;
    }
    journal(QStringLiteral("history: %1").arg(m_place.path));
    m_writer = std::make_unique<HistoryWriter>(
        m_place.path, HistoryLimits{m_config.keepDays, m_config.samplesDays, m_config.maxMb});
    connect(m_writer.get(), &HistoryWriter::statsChanged, this, &HistoryFace::onStats);
    m_samples.start();
}

FaceReload HistoryFace::reconfigure(const Settings &next) {
    const HistoryPlace place = historyPlace(next.config.history);
    if (next.config.history == m_config && place.path == m_place.path)
        return FaceReload::kept();
    const bool sameFile = place.path == m_place.path && m_writer;
    m_config = next.config.history;
    m_place = place;
    if (sameFile) {
        m_writer->setLimits(HistoryLimits{m_config.keepDays, m_config.samplesDays, m_config.maxMb});
        return FaceReload::restarted();
    }
    open();
    return FaceReload::restarted();
}

void HistoryFace::stop() {
    m_samples.stop();
    m_writer.reset(); // what waits is written first
}

void HistoryFace::sample() {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const ProjectorState &p : m_services.state.projectors())
        if (p.available)
            m_writer->add(sampleOf(p, now));
}

void HistoryFace::clearStats() {
    m_services.state.changeService([](ServiceState &s) {
        for (const FaceFamily *f : {&kRows, &kBytes, &kWriteErrors, &kDropped, &kLastWrite})
            s.removeSamples(f);
    });
}

void HistoryFace::onStats(const HistoryStats &stats) {
    m_services.state.changeService([&](ServiceState &s) {
        s.setSample(&kRows, QStringLiteral("table"), QStringLiteral("events"), double(stats.events));
        s.setSample(&kRows, QStringLiteral("table"), QStringLiteral("samples"), double(stats.samples));
        s.setSample(&kBytes, {}, {}, double(stats.bytes));
        s.setSample(&kWriteErrors, {}, {}, double(stats.writeErrors));
        s.setSample(&kDropped, {}, {}, double(stats.dropped));
        if (stats.lastWriteMs)
            s.setSample(&kLastWrite, {}, {}, double(stats.lastWriteMs) / 1000.0);
    });
}

} // namespace kr7::bridge
