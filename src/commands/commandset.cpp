#include "commandset.h"

namespace kr7 {

QString describe(const OneShot &button) {
    return QStringLiteral("%1: sends %2").arg(fromView(button.what), fromView(button.code));
}

QString describe(const Repeat &button) {
    return QStringLiteral("%1: sends %2, repeats while held")
        .arg(fromView(button.what), fromView(button.code));
}

QString describe(const Address &address) {
    if (address.prefix.empty())
        return QStringLiteral("No address: the one projector on a point-to-point line");
    if (address.unit == "all")
        return QStringLiteral("Address all projectors on the line: %1").arg(fromView(address.prefix));
    return QStringLiteral("Address projector %1: %2").arg(fromView(address.unit), fromView(address.prefix));
}

CommandSet::CommandSet(SendPath &path, QObject *parent) : QObject(parent), m_path(path) {
    // The repeat pace is the feel of a lens jog: the coarse timer may fire 5% off.
    m_Timer1.setTimerType(Qt::PreciseTimer);
    m_Timer1.setInterval(kMenuRepeatMs);
    connect(&m_Timer1, &QTimer::timeout, this, &CommandSet::Timer1_Timer);
}

void CommandSet::reset() {
    m_AddressPrefix.clear();
    m_RepeatCode = 0;
}

void CommandSet::selectAddress(std::string_view option) {
    for (const Address &a : kAddresses) {
        if (a.option == option) {
            m_AddressPrefix = fromView(a.prefix);
            return;
        }
    }
}

QString commandLine(QStringView prefix, QStringView code) {
    QString line = prefix.toString();
    line.append(code).append(QLatin1Char('\r'));
    return line;
}

QString CommandSet::buildLine(QStringView code) const {
    return commandLine(m_AddressPrefix, code);
}

void CommandSet::transmit(QStringView code) {
    m_path.sendLine(buildLine(code));
}

void CommandSet::click(const OneShot &button) {
    if (button.shape == Shape::LongWait)
        m_path.setSendIntervals(button.wait);
    transmit(fromView(button.code));
    if (button.shape == Shape::MenuPacing) {
        m_Timer1.setInterval(kMenuRepeatMs); // not started: only sets the pace of the cursor buttons
        m_ArrowMode = kr7::ArrowMode::MenuIntervals;
    }
}

void CommandSet::press(const Repeat &button) {
    if (button.menuCursor) {
        for (const ArrowPace &pace : kArrowPaces)
            if (pace.mode == m_ArrowMode)
                m_path.setSendIntervals(pace.wait);
        m_RepeatCode = button.repeatCode;
        transmit(fromView(button.code));
        m_Timer1.start(); // keeps whatever interval was set last
        return;
    }
    m_RepeatCode = button.repeatCode;
    transmit(fromView(button.code));
    m_Timer1.setInterval(button.pace.repeatMs);
    m_path.setSendIntervals(button.pace.wait);
    m_Timer1.start();
}

void CommandSet::release(const Repeat *button) {
    m_RepeatCode = 0;
    m_Timer1.stop();
    m_path.closeExchange();
    m_path.setSendIntervals(kNormalWait);
    m_path.emptyReceiveBuffer();
    if (button && button->releaseSpeedsCursor) {
        m_Timer1.setInterval(kDigitalZoomReleaseMs);
        m_ArrowMode = kr7::ArrowMode::RapidIntervals;
    }
}

void CommandSet::Timer1_Timer() {
    if (m_RepeatCode == 0)
        return;
    const Repeat *held = findRepeat(m_RepeatCode);
    if (!held)
        return;
    // Back-pressure: while the last line is still queued, a new one would only lengthen the queue and keep
    // the lens moving after the operator lets go. Skip this tick; the next one tries again.
    if (m_path.linePending()) {
        ++m_skippedTicks;
        return;
    }
    transmit(fromView(held->code));
}

QString CommandSet::toLineCharacters(const QString &text) {
    QString out;
    out.reserve(text.size());
    for (char32_t c : text.toUcs4())
        out.append(c <= 0xFF ? QChar(char16_t(c)) : QLatin1Char('?'));
    return out;
}

void CommandSet::sendText(const QString &text) {
    m_path.setSendIntervals(kSendWait);
    transmit(toLineCharacters(text));
}

} // namespace kr7
