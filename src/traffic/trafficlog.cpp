#include "trafficlog.h"

#include "kr7version.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kr7::traffic {

namespace {
QString reasonOf(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
} // namespace

TrafficLog::TrafficLog(QObject *parent) : QObject(parent) {}

TrafficLog::~TrafficLog() {
    if (m_syncer.joinable()) {
        {
            std::lock_guard g(m_lock);
            m_stop = true;
        }
        m_wake.notify_one();
        m_syncer.join();
    }
    for (const int fd : {m_fd, m_retired})
        if (fd >= 0) {
            ::fdatasync(fd);
            ::close(fd);
        }
}

namespace {

int openFile(const QString &path, QString *error) {
    const QByteArray name = QFile::encodeName(path);
    // Read as well as written: the end of the file is looked at before the first record.
    const int fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("cannot open the log %1: %2").arg(path, reasonOf(errno));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) { // some systems open a folder for writing
        ::close(fd);
        if (error)
            *error = QStringLiteral("cannot open the log %1: %2").arg(path, reasonOf(EISDIR));
        return -1;
    }
    return fd;
}

} // namespace

bool TrafficLog::open(const QString &path, QString *error) {
    const int fd = openFile(path, error);
    if (fd < 0)
        return false;
    m_fd = fd;
    m_path = path;
    m_base = QDateTime::currentDateTime();
    m_clock.start();
    prepareFile();
    m_syncer = std::thread([this] { syncLoop(); });
    return true;
}

bool TrafficLog::reopen(QString *error) {
    if (m_fd < 0)
        return true;
    const int fd = openFile(m_path, error);
    if (fd < 0)
        return false;
    {
        // The sync thread may be syncing the old file this moment: it closes it itself, once done.
        std::lock_guard g(m_lock);
        if (m_retired >= 0)
            ::close(m_retired);
        m_retired = m_fd;
        m_fd = fd;
        m_dirty = true;
    }
    m_wake.notify_one();
    m_failure.clear(); // a disk that filled may have room again
    prepareFile();
    return true;
}

void TrafficLog::prepareFile() {
    // A run killed in the middle of a record leaves part of a line at the end: drop it (or, if it does not
    // look like a record, end its line) so the next record starts a line of its own. The last whole record
    // gives the earliest time this run may write.
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return;
    constexpr off_t kChunk = 65536;
    const off_t size = st.st_size;
    off_t end = size; // the text after the last line feed is [end, size)
    QByteArray tail;
    for (off_t from = size; from > 0 && end == size;) {
        const off_t start = std::max<off_t>(0, from - kChunk);
        QByteArray chunk(qsizetype(from - start), '\0');
        if (::pread(m_fd, chunk.data(), size_t(chunk.size()), start) != chunk.size())
            return;
        tail.prepend(chunk);
        const qsizetype lf = chunk.lastIndexOf('\n');
        if (lf >= 0)
            end = start + lf + 1;
        else if (start == 0)
            end = 0;
        from = start;
        if (tail.size() > 64 * kChunk && end == size)
            return; // no line feed near the end: not a log of ours; leave it as it is
    }
    const QByteArray fragment = tail.right(qsizetype(size - end));
    const QByteArray whole = tail.left(tail.size() - fragment.size());
    if (!fragment.isEmpty()) {
        const bool ours =
            fragment.size() >= 4 && std::isdigit(uchar(fragment[0])) &&
            QByteArrayView(fragment).first(std::min<qsizetype>(fragment.size(), 11)).contains('-');
        if (!(ours && ::ftruncate(m_fd, end) == 0)) {
            const ssize_t n = ::write(m_fd, "\n", 1);
            Q_UNUSED(n);
        }
    }
    const qsizetype lastStart = whole.lastIndexOf('\n', whole.size() - 2) + 1;
    if (const std::optional<Record> last = parseRecord(QByteArrayView(whole).sliced(lastStart)))
        if (last->when > m_base)
            m_base = last->when;
}

QDateTime TrafficLog::now() const {
    return m_base.addMSecs(m_clock.elapsed());
}

void TrafficLog::write(const QString &port, Kind kind, QByteArrayView data, const QString &text) {
    if (m_fd < 0 || hasFailed())
        return;
    const QByteArray record = formatRecord(now(), port, kind, data, text);
    qsizetype done = 0;
    while (done < record.size()) {
        const ssize_t n = ::write(m_fd, record.constData() + done, size_t(record.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(reasonOf(n < 0 ? errno : ENOSPC));
        done += n;
    }
    ++m_records;
    {
        std::lock_guard g(m_lock);
        m_dirty = true;
    }
    m_wake.notify_one();
}

void TrafficLog::fail(const QString &reason) {
    // Stop here: a retry would spin on a full disk, and a record after a partial one would be glued to it.
    m_failure = reason;
    emit failed(reason);
}

void TrafficLog::syncLoop() {
    std::unique_lock g(m_lock);
    for (;;) {
        m_wake.wait(g, [this] { return m_dirty || m_stop; });
        if (m_stop)
            return;
        m_dirty = false;
        const int fd = m_fd;
        const int retired = std::exchange(m_retired, -1);
        g.unlock();
        if (retired >= 0) {
            ::fdatasync(retired);
            ::close(retired);
        }
        ::fdatasync(fd);
        g.lock();
    }
}

void TrafficLog::sessionStart(const QString &program, const QString &details) {
    text(program, Kind::OPEN,
         QStringLiteral("session start: %1 %2; %3").arg(program, QStringLiteral(KR7_VERSION), details));
}

} // namespace kr7::traffic
