#pragma once

#include <QString>
#include <QStringView>

namespace kr7 {

// Text that grows at its end and is cut at its front, each in amortised constant time per character: the
// cut part is only given back once it outgrows the live part, so a full buffer that slides by a few
// characters per receive event does not move all of itself every time.
class SlidingText {
  public:
    void append(QStringView s) { m_text.append(s); }
    void dropFront(qsizetype n) {
        m_start += std::min(n, size());
        if (m_start >= kCompactAfter && m_start >= size()) {
            m_text.remove(0, m_start);
            m_start = 0;
        }
    }
    // Cuts n characters but keeps the first one, in front of what remains.
    void cutAfterFirst(qsizetype n) {
        n = std::min(n, size() - 1);
        if (n <= 0)
            return;
        const QChar first = m_text.at(m_start);
        dropFront(n);
        m_text[m_start] = first;
    }
    void clear() {
        m_text.clear();
        m_start = 0;
    }
    QStringView view() const { return QStringView(m_text).sliced(m_start); }
    qsizetype size() const { return m_text.size() - m_start; }

  private:
    static constexpr qsizetype kCompactAfter = 4096;
    QString m_text;
    qsizetype m_start = 0;
};

} // namespace kr7
