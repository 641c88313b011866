#pragma once

// What another process costs, from /proc: its CPU time and its peak resident memory.

#include <QByteArray>
#include <QFile>

#include <unistd.h>

namespace bench {

// User + system CPU seconds of the process so far.
inline double processCpuSeconds(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    // Fields after the command name (which may hold blanks) start after the last ')'.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// A line of /proc/PID/status in kB ("VmHWM", "VmRSS").
inline long statusKb(qint64 pid, const char *key) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(QByteArray(key) + ':'))
            return line.mid(qsizetype(qstrlen(key)) + 1).trimmed().split(' ').first().toLong();
    return 0;
}

} // namespace bench
