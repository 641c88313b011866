#pragma once

#include "catalogue.h"

#include <QObject>
#include <QString>
#include <QTimer>

namespace kr7 {

// A command line: the address prefix, the code and a carriage return, with nothing between.
QString commandLine(QStringView prefix, QStringView code);

// What a button does and what it sends, for assistive technology: "POWER ON: sends C00".
QString describe(const OneShot &button);
QString describe(const Repeat &button);
QString describe(const Address &address);

// What the command set needs of the serial link: the send path and its two timers.
class SendPath {
  public:
    virtual ~SendPath() = default;
    // Intervals of the reply timer (Timer2) and the display-clear timer (Timer4).
    virtual void setSendIntervals(Wait wait) = 0;
    // Stores line as SendLine and transmits it (Hyouji, direction 1).
    virtual void sendLine(const QString &line) = 0;
    // True while the previous line has not yet left for the wire.
    virtual bool linePending() const = 0;
    // End of a held button: stop the reply timer without a marker, start the display-clear timer and empty
    // the TXD and RXD fields.
    virtual void closeExchange() = 0;
    virtual void emptyReceiveBuffer() = 0;
};

// The command set: address prefix, one-shot buttons, press-and-hold repeat and the free command entry.
class CommandSet : public QObject {
    Q_OBJECT
  public:
    explicit CommandSet(SendPath &path, QObject *parent = nullptr);

    const QString &AddressPrefix() const { return m_AddressPrefix; }
    int RepeatCode() const { return m_RepeatCode; }
    kr7::ArrowMode ArrowMode() const { return m_ArrowMode; }
    QTimer &Timer1() { return m_Timer1; }
    // Ticks that sent nothing because the previous line was still waiting to go out.
    int skippedTicks() const { return m_skippedTicks; }

    // Start-up values (the window's load step).
    void reset();

    // "PJ Select": sets the prefix of the option's row; unknown names change nothing.
    void selectAddress(std::string_view option);
    // AddressPrefix & code & carriage return, read now.
    QString buildLine(QStringView code) const;

    void click(const OneShot &button);
    void press(const Repeat &button);
    // Ends the repetition. button is null when the release was lost (the window hid or lost the mouse).
    void release(const Repeat *button);
    // SEND: the free command entry's text, unchanged but for characters a serial byte cannot carry.
    void sendText(const QString &text);

    // One byte per character on the line: everything outside Latin-1 becomes "?".
    static QString toLineCharacters(const QString &text);

    void Timer1_Timer();

  private:
    void transmit(QStringView code);

    SendPath &m_path;
    QString m_AddressPrefix;
    int m_RepeatCode = 0;
    kr7::ArrowMode m_ArrowMode = kr7::ArrowMode::KeepIntervals;
    QTimer m_Timer1;
    int m_skippedTicks = 0;
};

} // namespace kr7
