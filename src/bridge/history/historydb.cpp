#include "historydb.h"

#include "lamps.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>

#include <sqlite3.h>

namespace kr7::bridge {

namespace {

// The schema, version 1. Times are ms since 1970 UTC; details is JSON; NULL where a reading was absent.
const char *const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY, at INTEGER NOT NULL, projector TEXT, line "
    "TEXT, "
    "kind TEXT NOT NULL, origin TEXT, details TEXT)",
    "CREATE INDEX IF NOT EXISTS events_at ON events(at)",
    "CREATE INDEX IF NOT EXISTS events_projector ON events(projector, id)",
    "CREATE INDEX IF NOT EXISTS events_kind ON events(kind, id)",
    "CREATE TABLE IF NOT EXISTS samples(at INTEGER NOT NULL, projector TEXT NOT NULL, power_code TEXT, "
    "lamp1_hours INTEGER, lamp2_hours INTEGER, lamp3_hours INTEGER, lamp4_hours INTEGER, temperature1 REAL, "
    "temperature2 REAL, pressure_hpa INTEGER)",
    "CREATE INDEX IF NOT EXISTS samples_projector_at ON samples(projector, at)",
    "CREATE INDEX IF NOT EXISTS samples_at ON samples(at)",
    "CREATE TABLE IF NOT EXISTS schedule_state(schedule TEXT PRIMARY KEY, fingerprint TEXT NOT NULL, "
    "last_due INTEGER, last_run INTEGER, last_result TEXT, skip_next INTEGER NOT NULL DEFAULT 0, hold_until "
    "TEXT)",
};

QVariant text(const QString &s) {
    return s.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(s);
}
template <typename T> QVariant maybe(const std::optional<T> &v) {
    return v ? QVariant::fromValue(*v) : QVariant(QMetaType::fromType<T>());
}
template <typename T> std::optional<T> column(const QSqlQuery &q, int i) {
    const QVariant v = q.value(i);
    if (v.isNull())
        return std::nullopt;
    return v.value<T>();
}

std::atomic<int> g_connections{0};

// An event row's columns from `first` on: at, projector, line, kind, origin, details.
Event eventAt(const QSqlQuery &q, int first) {
    return Event{q.value(first).toLongLong(),
                 q.value(first + 1).toString(),
                 q.value(first + 2).toString(),
                 q.value(first + 3).toString(),
                 q.value(first + 4).toString(),
                 QJsonDocument::fromJson(q.value(first + 5).toString().toUtf8()).object()};
}

} // namespace

QJsonObject Sample::toJson() const {
    QJsonArray hours, temps;
    for (const auto &h : lampHours)
        hours << (h ? QJsonValue(double(*h)) : QJsonValue(QJsonValue::Null));
    for (const auto &t : temperatures)
        temps << (t ? QJsonValue(*t) : QJsonValue(QJsonValue::Null));
    return {{QStringLiteral("at"), QDateTime::fromMSecsSinceEpoch(atMs, Qt::UTC).toString(Qt::ISODateWithMs)},
            {QStringLiteral("projector"), projector},
            {QStringLiteral("power_code"),
             powerCode.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(powerCode)},
            {QStringLiteral("lamp_hours"), hours},
            {QStringLiteral("temperature"), temps},
            {QStringLiteral("pressure_hpa"),
             pressureHpa ? QJsonValue(double(*pressureHpa)) : QJsonValue(QJsonValue::Null)}};
}

HistoryDb::HistoryDb() : m_name(QStringLiteral("kr7-history-%1").arg(++g_connections)) {}

HistoryDb::~HistoryDb() {
    close();
}

void HistoryDb::close() {
    if (QSqlDatabase::contains(m_name)) {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
}

bool HistoryDb::isOpen() const {
    return QSqlDatabase::contains(m_name) && QSqlDatabase::database(m_name, false).isOpen();
}

bool HistoryDb::exec(const QString &sql) {
    QSqlQuery q(QSqlDatabase::database(m_name, false));
    if (q.exec(sql))
        return true;
    m_error = q.lastError().text();
    return false;
}

QString HistoryDb::damagedName(const QString &path, const QDateTime &when) {
    return path + QStringLiteral(".damaged-") + when.toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
}

HistoryDb::Opened HistoryDb::openForWriting(const QString &path) {
    close();
    m_path = path;
    const bool existed = QFileInfo(path).size() > 0;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        m_error = db.lastError().text();
        return Opened::Failed;
    }
    QSqlQuery q(db);
    if (existed) {
        // A file that is no database, or is damaged, is not written into: the writer moves it aside.
        if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next()) {
            m_error = q.lastError().text();
            return q.lastError().nativeErrorCode() == QLatin1String("26") ||
                           m_error.contains(QLatin1String("not a database"))
                       ? Opened::Damaged
                       : Opened::Failed;
        }
        if (q.value(0).toString() != QLatin1String("ok")) {
            m_error = QStringLiteral("quick_check: %1").arg(q.value(0).toString());
            return Opened::Damaged;
        }
        q.finish();
    }
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        m_error = q.lastError().text();
        return Opened::Failed;
    }
    m_version = q.value(0).toInt();
    q.finish(); // a statement left open would hold back every commit of this connection
    if (m_version > kSchemaVersion) {
        m_error = QStringLiteral("schema version %1 is newer than this program's (%2)")
                      .arg(m_version)
                      .arg(kSchemaVersion);
        return Opened::Newer;
    }
    // Free pages go back to the file system in small steps (incremental_vacuum); it takes only before the
    // first table.
    if (!existed && !exec(QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL")))
        return Opened::Failed;
    if (!q.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !q.next() ||
        q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        m_error = QStringLiteral("cannot use a write-ahead log: %1").arg(q.lastError().text());
        return Opened::Failed;
    }
    q.finish();
    // A commit is durable against a crash of the process (WAL), and a checkpoint now and then keeps the log
    // small.
    if (!exec(QStringLiteral("PRAGMA synchronous = NORMAL")) ||
        !exec(QStringLiteral("PRAGMA wal_autocheckpoint = 256")) ||
        !exec(QStringLiteral("PRAGMA journal_size_limit = 1048576")) || !makeSchema())
        return Opened::Failed;
    return Opened::Ready;
}

bool HistoryDb::makeSchema() {
    if (m_version == kSchemaVersion)
        return true;
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (!db.transaction()) {
        m_error = db.lastError().text();
        return false;
    }
    for (const char *sql : kSchema)
        if (!exec(QLatin1String(sql))) {
            db.rollback();
            return false;
        }
    if (!exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion)) || !db.commit()) {
        if (m_error.isEmpty())
            m_error = db.lastError().text();
        db.rollback();
        return false;
    }
    m_version = kSchemaVersion;
    return true;
}

bool HistoryDb::openForReading(const QString &path) {
    close();
    m_path = path;
    if (!QFileInfo::exists(path)) {
        m_error = QStringLiteral("%1: no such file").arg(path);
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        m_error = db.lastError().text();
        return false;
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        m_error = q.lastError().text();
        return false;
    }
    m_version = q.value(0).toInt();
    q.finish();
    return true;
}

bool HistoryDb::write(const QList<Event> &events, const QList<Sample> &samples,
                      const QList<ScheduleRecord> &schedules) {
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (!db.transaction()) {
        m_error = db.lastError().text();
        return false;
    }
    const auto fail = [&](const QSqlQuery &q) {
        m_error = q.lastError().text();
        db.rollback();
        return false;
    };
    QSqlQuery e(db);
    e.prepare(QStringLiteral(
        "INSERT INTO events(at, projector, line, kind, origin, details) VALUES(?, ?, ?, ?, ?, ?)"));
    for (const Event &ev : events) {
        e.addBindValue(ev.atMs);
        e.addBindValue(text(ev.projector));
        e.addBindValue(text(ev.line));
        e.addBindValue(ev.kind);
        e.addBindValue(text(ev.origin));
        e.addBindValue(QString::fromUtf8(QJsonDocument(ev.details).toJson(QJsonDocument::Compact)));
        if (!e.exec())
            return fail(e);
    }
    QSqlQuery s(db);
    s.prepare(QStringLiteral(
        "INSERT INTO samples(at, projector, power_code, lamp1_hours, lamp2_hours, lamp3_hours, "
        "lamp4_hours, temperature1, temperature2, pressure_hpa) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const Sample &sa : samples) {
        s.addBindValue(sa.atMs);
        s.addBindValue(sa.projector);
        s.addBindValue(text(sa.powerCode));
        for (const auto &h : sa.lampHours)
            s.addBindValue(maybe(h));
        for (const auto &t : sa.temperatures)
            s.addBindValue(maybe(t));
        s.addBindValue(maybe(sa.pressureHpa));
        if (!s.exec())
            return fail(s);
    }
    for (const ScheduleRecord &r : schedules) {
        QSqlQuery u(db);
        if (r.fingerprint.isEmpty()) { // gone from the configuration
            u.prepare(QStringLiteral("DELETE FROM schedule_state WHERE schedule = ?"));
            u.addBindValue(r.name);
        } else {
            u.prepare(
                QStringLiteral("INSERT INTO schedule_state(schedule, fingerprint, last_due, last_run, "
                               "last_result, skip_next, "
                               "hold_until) VALUES(?, ?, ?, ?, ?, ?, ?) ON CONFLICT(schedule) DO UPDATE SET "
                               "fingerprint = excluded.fingerprint, last_due = excluded.last_due, last_run = "
                               "excluded.last_run, "
                               "last_result = excluded.last_result, skip_next = excluded.skip_next, "
                               "hold_until = excluded.hold_until"));
            u.addBindValue(r.name);
            u.addBindValue(r.fingerprint);
            u.addBindValue(maybe(r.lastDueMs));
            u.addBindValue(maybe(r.lastRunMs));
            u.addBindValue(QString::fromUtf8(QJsonDocument(r.lastResult).toJson(QJsonDocument::Compact)));
            u.addBindValue(r.skipNext ? 1 : 0);
            u.addBindValue(text(r.holdUntil));
        }
        if (!u.exec())
            return fail(u);
    }
    if (!db.commit()) {
        m_error = db.lastError().text();
        if (m_error.trimmed().isEmpty())
            m_error = QStringLiteral("the commit failed (the disk is full?)");
        db.rollback();
        return false;
    }
    return true;
}

qint64 HistoryDb::bytes() const {
    return QFileInfo(m_path).size() + QFileInfo(m_path + QStringLiteral("-wal")).size();
}

qint64 HistoryDb::rows(const char *table) {
    QSqlQuery q(QSqlDatabase::database(m_name, false));
    if (!q.exec(QStringLiteral("SELECT count(*) FROM %1").arg(QLatin1String(table))) || !q.next())
        return -1;
    return q.value(0).toLongLong();
}

int HistoryDb::prune(qint64 nowMs, int keepDays, int samplesDays, qint64 maxBytes, int step) {
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    QSqlQuery q(db);
    const auto removed = [&](const QString &sql, const QVariant &bound = {}) -> int {
        q.prepare(sql);
        if (bound.isValid())
            q.addBindValue(bound);
        q.addBindValue(step);
        if (!q.exec()) {
            m_error = q.lastError().text();
            return -1;
        }
        return q.numRowsAffected();
    };
    int n = removed(
        QStringLiteral("DELETE FROM events WHERE rowid IN (SELECT rowid FROM events WHERE at < ? LIMIT ?)"),
        nowMs - qint64(keepDays) * 86400000);
    if (n == 0)
        n = removed(
            QStringLiteral(
                "DELETE FROM samples WHERE rowid IN (SELECT rowid FROM samples WHERE at < ? LIMIT ?)"),
            nowMs - qint64(samplesDays) * 86400000);
    if (n == 0 && bytes() > maxBytes) {
        // Too large: the oldest rows first, of whichever table holds the oldest.
        const auto oldest = [&](const char *table) -> std::optional<qint64> {
            QSqlQuery m(db);
            if (!m.exec(QStringLiteral("SELECT min(at) FROM %1").arg(QLatin1String(table))) || !m.next() ||
                m.value(0).isNull())
                return std::nullopt;
            return m.value(0).toLongLong();
        };
        const std::optional<qint64> e = oldest("events"), s = oldest("samples");
        if (e || s) {
            const char *table = !s || (e && *e <= *s) ? "events" : "samples";
            n = removed(
                QStringLiteral("DELETE FROM %1 WHERE rowid IN (SELECT rowid FROM %1 ORDER BY at LIMIT ?)")
                    .arg(QLatin1String(table)));
        }
    }
    if (n > 0 && !giveBack()) {
        m_error = QStringLiteral("cannot give free pages back: %1").arg(m_error);
        return -1;
    }
    return n;
}

// The pages freed go back to the file system, and the log that held them is emptied. SQLite's own exec: the
// vacuum frees a page per step, and Qt steps a statement without columns once.
bool HistoryDb::giveBack() {
    const QVariant handle = QSqlDatabase::database(m_name, false).driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        m_error = QStringLiteral("no SQLite handle");
        return false;
    }
    sqlite3 *db = *static_cast<sqlite3 *const *>(handle.data());
    char *error = nullptr;
    if (sqlite3_exec(db, "PRAGMA incremental_vacuum; PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr,
                     &error) != SQLITE_OK) {
        m_error = QString::fromUtf8(error ? error : sqlite3_errmsg(db));
        sqlite3_free(error);
        return false;
    }
    return true;
}

std::optional<EventsPage> HistoryDb::events(const HistoryQuery &query) {
    QStringList where;
    QVariantList bound;
    const auto add = [&](const char *clause, const QVariant &v) {
        where << QLatin1String(clause);
        bound << v;
    };
    if (!query.projector.isEmpty())
        add("projector = ?", query.projector);
    if (!query.kind.isEmpty())
        add("kind = ?", query.kind);
    if (!query.origin.isEmpty())
        add("origin = ?", query.origin);
    if (query.sinceMs)
        add("at >= ?", *query.sinceMs);
    if (query.untilMs)
        add("at < ?", *query.untilMs);
    if (query.before)
        add("id < ?", *query.before);
    QSqlQuery q(QSqlDatabase::database(m_name, false));
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT id, at, projector, line, kind, origin, details FROM events%1 ORDER BY id DESC "
                       "LIMIT ?")
            .arg(where.isEmpty() ? QString()
                                 : QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "))));
    for (const QVariant &v : bound)
        q.addBindValue(v);
    q.addBindValue(query.limit + 1);
    if (!q.exec()) {
        m_error = q.lastError().text();
        return std::nullopt;
    }
    EventsPage page;
    while (q.next()) {
        if (page.events.size() == query.limit) {
            page.next = page.events.last().first;
            break;
        }
        page.events.append({q.value(0).toLongLong(), eventAt(q, 1)});
    }
    return page;
}

std::optional<QList<Sample>> HistoryDb::samples(const SamplesQuery &query) {
    QSqlQuery q(QSqlDatabase::database(m_name, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT at, projector, power_code, lamp1_hours, lamp2_hours, lamp3_hours, lamp4_hours, "
        "temperature1, temperature2, pressure_hpa FROM samples WHERE projector = ? AND at >= ? "
        "AND at < ? ORDER BY at LIMIT 100000"));
    q.addBindValue(query.projector);
    q.addBindValue(query.sinceMs);
    q.addBindValue(query.untilMs);
    if (!q.exec()) {
        m_error = q.lastError().text();
        return std::nullopt;
    }
    QList<Sample> out;
    while (q.next()) {
        Sample s;
        s.atMs = q.value(0).toLongLong();
        s.projector = q.value(1).toString();
        s.powerCode = q.value(2).toString();
        for (int i = 0; i < 4; ++i)
            s.lampHours[size_t(i)] = column<qint64>(q, 3 + i);
        for (int i = 0; i < 2; ++i)
            s.temperatures[size_t(i)] = column<double>(q, 7 + i);
        s.pressureHpa = column<qint64>(q, 9);
        out << s;
    }
    return out;
}

std::optional<QList<Sample>> HistoryDb::lampSamples(const QStringList &projectors, qint64 sinceMs,
                                                    qint64 untilMs) {
    const QSqlDatabase db = QSqlDatabase::database(m_name, false);
    QSqlQuery first(db), latest(db);
    first.prepare(QStringLiteral("SELECT at, lamp1_hours, lamp2_hours, lamp3_hours, lamp4_hours FROM samples "
                                 "WHERE projector = ? AND at >= ? AND at < ? ORDER BY at LIMIT 1"));
    latest.prepare(
        QStringLiteral("SELECT at, lamp1_hours, lamp2_hours, lamp3_hours, lamp4_hours FROM samples "
                       "WHERE projector = ? AND at < ? ORDER BY at DESC LIMIT 1"));
    QList<Sample> out;
    const auto take = [&](QSqlQuery &q, const QString &projector) {
        if (!q.exec()) {
            m_error = q.lastError().text();
            return false;
        }
        if (q.next()) {
            Sample s;
            s.atMs = q.value(0).toLongLong();
            s.projector = projector;
            for (int i = 0; i < 4; ++i)
                s.lampHours[size_t(i)] = column<qint64>(q, 1 + i);
            if (out.isEmpty() || out.last().projector != projector || out.last().atMs < s.atMs)
                out << s;
        }
        q.finish();
        return true;
    };
    constexpr qint64 kDay = 86400000;
    for (const QString &p : projectors) {
        for (qint64 from = sinceMs; from < untilMs; from += kDay) {
            first.addBindValue(p);
            first.addBindValue(from);
            first.addBindValue(std::min(from + kDay, untilMs));
            if (!take(first, p))
                return std::nullopt;
        }
        latest.addBindValue(p);
        latest.addBindValue(untilMs);
        if (!take(latest, p))
            return std::nullopt;
    }
    return out;
}

std::optional<QList<Event>> HistoryDb::lampEvents() {
    QSqlQuery q(QSqlDatabase::database(m_name, false));
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral(
            "SELECT at, projector, line, kind, origin, details FROM events WHERE kind = 'lamp' ORDER BY "
            "id LIMIT 100000"))) {
        m_error = q.lastError().text();
        return std::nullopt;
    }
    QList<Event> out;
    while (q.next())
        out << eventAt(q, 0);
    return out;
}

std::optional<LampHistory> HistoryDb::lampHistory(const QStringList &projectors, qint64 nowMs) {
    auto samples = lampSamples(projectors, lampSamplesSinceMs(nowMs), nowMs + 1);
    if (!samples)
        return std::nullopt;
    auto events = lampEvents();
    if (!events)
        return std::nullopt;
    return LampHistory{std::move(*samples), std::move(*events)};
}

std::optional<QList<ScheduleRecord>> HistoryDb::schedules() {
    QSqlQuery q(QSqlDatabase::database(m_name, false));
    if (!q.exec(QStringLiteral(
            "SELECT schedule, fingerprint, last_due, last_run, last_result, skip_next, hold_until "
            "FROM schedule_state"))) {
        m_error = q.lastError().text();
        return std::nullopt;
    }
    QList<ScheduleRecord> out;
    while (q.next())
        out << ScheduleRecord{q.value(0).toString(),
                              q.value(1).toString(),
                              column<qint64>(q, 2),
                              column<qint64>(q, 3),
                              QJsonDocument::fromJson(q.value(4).toString().toUtf8()).object(),
                              q.value(5).toInt() != 0,
                              q.value(6).toString()};
    return out;
}

} // namespace kr7::bridge
