// Schedules run by the bridge on played projectors, its wall clock set by libfaketime: a nested, staggered
// group switched on at its time with the schedule as origin; a projector that answers late is tried again,
// one that never does fails in every place an operator looks; commands to a group with a member down; a
// restart after missed times, with overrides kept; the spring change in Europe/Berlin.
#include "mqttpeers.h"
#include "peers.h"
#include "ser2net.h"
#include "support.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>

using namespace kr7;

namespace {

// The bridge under libfaketime, its clock starting at `wall` (local time in Europe/Berlin) and running at the
// real pace. Its monotonic clock is faked along with it: with it left real, libfaketime turns the timed waits
// of Qt's threads into waits without end.
void fakeClock(peers::BridgeProcess &bridge, const QByteArray &wall) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"),
               QStringLiteral("/usr/lib/%1/faketime/libfaketime.so.1").arg(QStringLiteral(KR7_MULTIARCH)));
    env.insert(QStringLiteral("FAKETIME"), QStringLiteral("@") + QString::fromLatin1(wall));
    env.insert(QStringLiteral("TZ"), QStringLiteral("Europe/Berlin"));
    // The sanitizers' runtime need not come first when libfaketime is preloaded.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
    bridge.process.setProcessEnvironment(env);
}

struct Api : peers::ConsolePage {
    using ConsolePage::ConsolePage;
    QJsonObject post(const QString &path, const QByteArray &body) const {
        return QJsonDocument::fromJson(call("POST", path, body).body).object();
    }
    QJsonArray history(const QString &query) const {
        return QJsonDocument::fromJson(call("GET", QStringLiteral("/api/history?limit=1000&") + query).body)
            .object()[QLatin1String("events")]
            .toArray();
    }
    QJsonObject schedule(const QString &name) const {
        for (const QJsonValue &v :
             QJsonDocument::fromJson(call("GET", QStringLiteral("/api/schedules")).body).array())
            if (v[QLatin1String("name")] == name)
                return v.toObject();
        return {};
    }
};

// The schedule's own events (its results) for one entry, by projector: result, or "failed: reason".
QMap<QString, QString> resultsOf(const QJsonArray &events, const QString &entry) {
    QMap<QString, QString> out;
    for (const QJsonValue &v : events) {
        const QJsonObject d = v[QLatin1String("details")].toObject();
        if (v[QLatin1String("kind")] != QLatin1String("schedule") || d[QLatin1String("schedule")] != entry ||
            !d.contains(QLatin1String("result")))
            continue;
        QString r = d[QLatin1String("result")].toString();
        if (d.contains(QLatin1String("reason")))
            r += QStringLiteral(": ") + d[QLatin1String("reason")].toString();
        out[v[QLatin1String("projector")].toString()] = r;
    }
    return out;
}

QByteArray line(const QByteArray &port, const char *name) {
    return "  - port: " + port + "\n    projectors: [{name: " + name + ", unit: single}]\n";
}

} // namespace

class TestSchedule : public QObject {
    Q_OBJECT

  private slots:
    // 07:45 on a Thursday: hall (booths staggered by 2 s, and stage) on its own lines; late answers only
    // after the run began and is reached by the retry a minute on; mute never answers and fails when verify
    // ends. Meanwhile a group command with mute in it, over HTTP and MQTT.
    void runsRetriesAndFails() {
        std::vector<std::unique_ptr<sim::ProjectorSim>> sims;
        for (int i = 0; i < 5; ++i)
            sims.push_back(test::startSim({1}));
        sim::ProjectorSim &late = *sims[3], &mute = *sims[4];
        late.faults.noReply = mute.faults.noReply = true;
        QElapsedTimer clock;
        clock.start();
        QMap<int, qint64> powerOnAt; // sim -> when its C00 came
        for (int i = 0; i < int(sims.size()); ++i)
            connect(sims[i].get(), &sim::ProjectorSim::lineReceived, this, [&, i](const QByteArray &l) {
                if (l == "C00" && !powerOnAt.contains(i))
                    powerOnAt[i] = clock.elapsed();
            });
        peers::Mosquitto broker;
        QVERIFY2(broker.start(), qPrintable(broker.errorString()));
        peers::BridgeProcess bridge;
        const quint16 port = peers::Ser2net::freePort();
        const auto path = [&](int i) { return sims[i]->devicePath().toUtf8(); };
        const QByteArray config =
            "listen: 127.0.0.1:" + QByteArray::number(port) + "\npoll_interval: 1\noffline_after: 1\n" +
            "time_zone: Europe/Berlin\nhistory: {file: " + bridge.path(QStringLiteral("h.sqlite")).toUtf8() +
            "}\nmqtt: {host: 127.0.0.1, port: " + QByteArray::number(broker.port()) + "}\nlines:\n" +
            line(path(0), "booth-1") + line(path(1), "booth-2") + line(path(2), "stage") +
            line(path(3), "late") + line(path(4), "mute") +
            "groups:\n  booths: {members: [booth-1, booth-2], stagger: 2s}\n  hall: [booths, stage]\n"
            "  pair: [stage, mute]\n"
            "schedules:\n"
            "  - {name: morning, group: hall, at: '07:45', days: [thu], do: {power: 'ON'}}\n"
            "  - {name: stragglers, projector: late, at: '07:45', do: {power: 'ON'}, verify: 65s}\n"
            "  - {name: silent, projector: mute, at: '07:45', do: {power: 'ON'}, verify: 65s}\n";
        fakeClock(bridge, "2026-12-10 07:44:52");
        QVERIFY2(bridge.start(config), bridge.stderrText().constData());
        QVERIFY2(!bridge.stderrText().contains("history is off"), bridge.stderrText().constData());
        QTRY_VERIFY_WITH_TIMEOUT(bridge.stderrText().contains("projector stage: up"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(powerOnAt.contains(0) && powerOnAt.contains(2), 15000);
        late.faults.noReply = false; // answers from now on: the retry finds it
        QTRY_VERIFY_WITH_TIMEOUT(powerOnAt.contains(1), 5000);
        // The group's stagger applies to its booths, not to stage beside them.
        QVERIFY2(powerOnAt[1] - powerOnAt[0] >= 1800,
                 qPrintable(QString::number(powerOnAt[1] - powerOnAt[0])));
        QVERIFY(std::abs(powerOnAt[2] - powerOnAt[0]) < 1000);
        QVERIFY(bridge.stderrText().contains("schedule morning: runs (due 2026-12-10T07:45:00+01:00) for 3"));
        Api api(port);
        QTRY_COMPARE_WITH_TIMEOUT(
            resultsOf(api.history(QStringLiteral("kind=schedule")), QStringLiteral("morning")),
            (QMap<QString, QString>{{QStringLiteral("booth-1"), QStringLiteral("ok")},
                                    {QStringLiteral("booth-2"), QStringLiteral("ok")},
                                    {QStringLiteral("stage"), QStringLiteral("ok")}}),
            15000);
        const QJsonArray commands = api.history(QStringLiteral("kind=command&origin=schedule"));
        for (const char *name : {"booth-1", "booth-2", "stage"})
            QVERIFY2(std::any_of(commands.begin(), commands.end(),
                                 [&](const QJsonValue &v) {
                                     const QJsonObject o =
                                         v[QLatin1String("details")][QLatin1String("origin")].toObject();
                                     return v[QLatin1String("projector")] == QLatin1String(name) &&
                                            o[QLatin1String("schedule")] == QLatin1String("morning") &&
                                            o[QLatin1String("group")] == QLatin1String("hall");
                                 }),
                     name);

        // A group with a member that does not answer: every member's outcome, over HTTP and over MQTT.
        const QJsonObject http = api.post(QStringLiteral("/api/groups/pair"), R"({"input": 2})");
        QCOMPARE(http[QLatin1String("request")].toObject()[QLatin1String("input")], 2);
        const QJsonObject results = http[QLatin1String("results")].toObject();
        QCOMPARE(results.keys(), (QStringList{QStringLiteral("mute"), QStringLiteral("stage")}));
        QCOMPARE(results[QLatin1String("stage")][QLatin1String("replied")], true);
        QCOMPARE(results[QLatin1String("mute")][QLatin1String("replied")], false);
        QCOMPARE(api.post(QStringLiteral("/api/groups/nowhere"), R"({"input": 2})")[QLatin1String("error")],
                 QLatin1String("no group named 'nowhere' here"));
        {
            peers::Subscriber answers(broker.port(), {QStringLiteral("kr7/group/pair/result")});
            QTRY_VERIFY_WITH_TIMEOUT(bridge.stderrText().contains("mqtt: connected"), 10000);
            peers::mqttPublish(broker.port(), QStringLiteral("kr7/group/pair/set"), R"({"input": 1})");
            const auto m =
                answers.waitFor(QStringLiteral("kr7/group/pair/result"), [](const peers::Message &m) {
                    return m.json()[QLatin1String("results")].toObject().size() == 2;
                });
            QVERIFY(m);
            const QJsonObject r = m->json()[QLatin1String("results")].toObject();
            QVERIFY(
                r[QLatin1String("stage")][QLatin1String("line")].toString().startsWith(QLatin1String("C05")));
            QCOMPARE(r[QLatin1String("mute")][QLatin1String("replied")], false);
        }

        // late is reached by the retry a minute after the due time; mute fails when its verify ends.
        QTRY_VERIFY_WITH_TIMEOUT(powerOnAt.contains(3), 75000);
        QVERIFY2(powerOnAt[3] - powerOnAt[0] > 55000,
                 qPrintable(QString::number(powerOnAt[3] - powerOnAt[0])));
        QTRY_VERIFY_WITH_TIMEOUT(bridge.stderrText().contains("schedule silent: failed for mute: no reply"),
                                 20000);
        QTRY_COMPARE_WITH_TIMEOUT(
            resultsOf(api.history(QStringLiteral("kind=schedule")), QStringLiteral("silent"))
                .value(QStringLiteral("mute")),
            QStringLiteral("failed: no reply"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(
            resultsOf(api.history(QStringLiteral("kind=schedule")), QStringLiteral("stragglers"))
                .value(QStringLiteral("late")),
            QStringLiteral("ok"), 10000);
        const QByteArray state = api.call("GET", QStringLiteral("/state")).body;
        QVERIFY2(state.contains("\"schedule silent failed: no reply\""), state.constData());
        const QByteArray metrics = api.call("GET", QStringLiteral("/metrics")).body;
        for (const char *sample : {"kr7_schedule_failures_total{schedule=\"silent\"} 1",
                                   "kr7_schedule_failures_total{schedule=\"morning\"} 0",
                                   "kr7_schedule_runs_total{schedule=\"morning\"} 1",
                                   "kr7_schedule_last_run_timestamp_seconds{schedule=\"morning\"} 17968851"})
            QVERIFY2(metrics.contains(sample), sample);
        // Next Thursday for morning, tomorrow for the others.
        QVERIFY(metrics.contains("kr7_schedule_next_run_timestamp_seconds{schedule=\"morning\"} 1797489900"));
        QVERIFY(metrics.contains("kr7_schedule_next_run_timestamp_seconds{schedule=\"silent\"} 1796971500"));
        QCOMPARE(api.schedule(QStringLiteral("silent"))[QLatin1String("result")][QLatin1String("mute")],
                 QLatin1String("failed: no reply"));
    }

    // Stopped at 07:40 with a skip and a hold set, started again at 07:50: the entry due 5 min ago runs
    // (within its catch_up), the one due 8 min ago with a catch_up of 5 min is missed, the skip and the hold
    // are kept and applied, once each.
    void restartCatchesUpAndKeepsOverrides() {
        auto hall = test::startSim({1});
        peers::BridgeProcess bridge;
        const quint16 port = peers::Ser2net::freePort();
        const QByteArray config =
            "listen: 127.0.0.1:" + QByteArray::number(port) +
            "\npoll_interval: 1\ntime_zone: Europe/Berlin\n" +
            "history: {file: " + bridge.path(QStringLiteral("h.sqlite")).toUtf8() + "}\nlines:\n" +
            line(hall->devicePath().toUtf8(), "hall") +
            "schedules:\n"
            "  - {name: early, projector: hall, at: '07:42', do: {power: 'ON'}, catch_up: 5m}\n"
            "  - {name: late, projector: hall, at: '07:45', do: {power: 'ON'}}\n"
            "  - {name: holder, projector: hall, at: '07:46', do: {power: 'ON'}}\n"
            "  - {name: skipper, projector: hall, at: '07:47', do: {power: 'ON'}}\n";
        fakeClock(bridge, "2026-12-10 07:40:00");
        QVERIFY2(bridge.start(config), bridge.stderrText().constData());
        {
            Api api(port);
            QTRY_VERIFY_WITH_TIMEOUT(!api.schedule(QStringLiteral("early")).isEmpty(), 10000);
            QCOMPARE(
                api.post(QStringLiteral("/api/schedules/skipper"),
                         R"({"skip_next": true})")[QLatin1String("override")][QLatin1String("skip_next")],
                true);
            QCOMPARE(api.post(QStringLiteral("/api/schedules/holder"),
                              R"({"hold_until": "2026-12-12"})")[QLatin1String("override")]
                                                                [QLatin1String("hold_until")],
                     QLatin1String("2026-12-12"));
            QVERIFY(api.post(QStringLiteral("/api/schedules/holder"), R"({"hold_until": "12/12/2026"})")
                        .contains(QLatin1String("error")));
        }
        bridge.process.terminate();
        QVERIFY(bridge.process.waitForFinished(10000));
        hall->clearReceived();

        fakeClock(bridge, "2026-12-10 07:50:00");
        QVERIFY2(bridge.start(config), bridge.stderrText().constData());
        Api api(port);
        QTRY_VERIFY2_WITH_TIMEOUT(hall->lines().count("C00") == 1, bridge.stderrText().constData(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(
            resultsOf(api.history(QStringLiteral("kind=schedule")), QStringLiteral("late"))
                    .value(QStringLiteral("hall")) == QLatin1String("ok"),
            15000);
        const QJsonArray events = api.history(QStringLiteral("kind=schedule"));
        QCOMPARE(resultsOf(events, QStringLiteral("early")).value(QString()), QStringLiteral("missed"));
        QCOMPARE(resultsOf(events, QStringLiteral("skipper")).value(QString()), QStringLiteral("skipped"));
        QCOMPARE(resultsOf(events, QStringLiteral("holder")).value(QString()), QStringLiteral("held"));
        // Both overrides came with their origin.
        QVERIFY(std::any_of(events.begin(), events.end(), [](const QJsonValue &v) {
            return v[QLatin1String("details")][QLatin1String("override")][QLatin1String("skip_next")] ==
                       true &&
                   v[QLatin1String("origin")] == QLatin1String("console");
        }));
        const QJsonObject skipper = api.schedule(QStringLiteral("skipper")),
                          holder = api.schedule(QStringLiteral("holder"));
        QCOMPARE(skipper[QLatin1String("override")][QLatin1String("skip_next")], false); // used up
        QCOMPARE(holder[QLatin1String("override")][QLatin1String("hold_until")], QLatin1String("2026-12-12"));
        QCOMPARE(holder[QLatin1String("next_run")], QLatin1String("2026-12-11T07:46:00+01:00"));
        QVERIFY(bridge.stderrText().contains("schedule early: 1 runs missed"));
        QTest::qWait(1500);
        QCOMPARE(hall->lines().count("C00"), 1); // each due time once
    }

    // 02:30 on the night the clocks go forward runs at 03:00 CEST, as the preview says it will.
    void springChange() {
        auto hall = test::startSim({1});
        peers::BridgeProcess bridge;
        const QByteArray config =
            "listen: 127.0.0.1:" + QByteArray::number(peers::Ser2net::freePort()) +
            "\npoll_interval: 1\ntime_zone: Europe/Berlin\nhistory: {file: " +
            bridge.path(QStringLiteral("h.sqlite")).toUtf8() + "}\nlines:\n" +
            line(hall->devicePath().toUtf8(), "hall") +
            "schedules:\n  - {name: night, projector: hall, at: '02:30', do: {power: 'ON'}}\n";
        fakeClock(bridge, "2026-03-29 01:59:53");
        QVERIFY2(bridge.start(config), bridge.stderrText().constData());
        QTest::qWait(2000);
        QVERIFY(!hall->lines().contains("C00"));
        QTRY_VERIFY_WITH_TIMEOUT(hall->lines().contains("C00"), 12000);
        QVERIFY2(bridge.stderrText().contains("schedule night: runs (due 2026-03-29T03:00:00+02:00)"),
                 bridge.stderrText().constData());

        QProcess preview;
        preview.start(qEnvironmentVariable("KR7_BRIDGE"),
                      {QStringLiteral("--config"), bridge.path(QStringLiteral("bridge.yaml")),
                       QStringLiteral("--calendar"), QStringLiteral("--from"),
                       QStringLiteral("2026-03-28T12:00:00+01:00"), QStringLiteral("--days"),
                       QStringLiteral("1")});
        QVERIFY(preview.waitForFinished(20000));
        const QByteArray said = preview.readAllStandardOutput();
        QVERIFY2(said.startsWith("2026-03-29T03:00:00+02:00") && said.count('\n') == 1 &&
                     said.contains("night"),
                 said.constData());
    }
};

QTEST_GUILESS_MAIN(TestSchedule)
#include "tst_schedule.moc"
