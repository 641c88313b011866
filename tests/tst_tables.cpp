// Walks the catalogue and the layout table: every fact in one place, and the places agree.
#include "catalogue.h"
#include "layout.h"

#include <QRect>
#include <QSet>
#include <QTest>

using namespace kr7;
using namespace kr7::panel;

namespace {
QString q(std::string_view s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}
QRect rectOf(const Control &c) {
    return QRect(c.left, c.top, c.width, c.height);
}
} // namespace

class TestTables : public QObject {
    Q_OBJECT
  private slots:
    void layoutNamesAreUniqueAndCountsMatch() {
        QSet<QString> names;
        QHash<Kind, int> count;
        for (const Control &c : kControls) {
            QVERIFY2(!names.contains(q(c.name)), qPrintable(q(c.name)));
            names.insert(q(c.name));
            ++count[c.kind];
        }
        for (const Line &l : kLines) {
            QVERIFY2(!names.contains(q(l.name)), qPrintable(q(l.name)));
            names.insert(q(l.name));
        }
        QCOMPARE(count[Kind::Button], 94);
        QCOMPARE(count[Kind::Option], 10);
        QCOMPARE(count[Kind::Frame], 14);
        QCOMPARE(count[Kind::Label], 26);
        QCOMPARE(count[Kind::TextBox], 1);
        QCOMPARE(count[Kind::Image], 1);
        QCOMPARE(int(kLines.size()), 12);
    }

    void everyControlLiesInsideItsContainer() {
        for (const Control &c : kControls) {
            if (c.container.empty()) {
                QVERIFY2(c.left >= 0 && c.left + c.width <= kClientWidth && c.top + c.height <= kClientHeight,
                         qPrintable(q(c.name)));
                continue;
            }
            const Control *frame = findControl(c.container);
            QVERIFY2(frame && frame->kind == Kind::Frame, qPrintable(q(c.name)));
            // Containers come first, so the builder finds them.
            QVERIFY(frame < &c);
            QVERIFY2(QRect(0, 0, frame->width, frame->height).contains(rectOf(c)), qPrintable(q(c.name)));
        }
    }

    void controlsInOneContainerDoNotOverlap() {
        for (const Control &a : kControls) {
            for (const Control &b : kControls) {
                if (&a >= &b || a.container != b.container)
                    continue;
                // The port settings frame lies over the COM button by design and is shown on top of it.
                if ((a.name == "Command33" && b.name == "Frame8") ||
                    (a.name == "Frame8" && b.name == "Command33"))
                    continue;
                // Neighbours share an edge pixel (15 twips) at most.
                const QRect overlap = rectOf(a).intersected(rectOf(b));
                QVERIFY2(overlap.isEmpty() || std::min(overlap.width(), overlap.height()) <= 15,
                         qPrintable(q(a.name) + QStringLiteral(" overlaps ") + q(b.name)));
            }
        }
    }

    void everyCatalogueButtonIsOnThePanel() {
        QSet<QString> seen;
        QSet<QString> codes;
        for (const OneShot &b : kOneShots) {
            const Control *c = findControl(b.name);
            QVERIFY2(c && c->kind == Kind::Button, qPrintable(q(b.name)));
            QVERIFY(!seen.contains(q(b.name)));
            seen.insert(q(b.name));
            QVERIFY2(!codes.contains(q(b.code)), qPrintable(q(b.code)));
            codes.insert(q(b.code));
            // Codes use capitals, digits, blanks and hyphens only.
            for (char ch : b.code)
                QVERIFY(std::isupper(uchar(ch)) || std::isdigit(uchar(ch)) || ch == ' ' || ch == '-');
            QCOMPARE(b.shape == Shape::LongWait, b.wait.replyMs > 0);
            QVERIFY(b.wait.clearMs >= b.wait.replyMs); // the no-reply marker stays in view for the difference
        }
        QSet<int> repeatCodes;
        for (const Repeat &r : kRepeats) {
            const Control *c = findControl(r.name);
            QVERIFY2(c && c->kind == Kind::Button, qPrintable(q(r.name)));
            QVERIFY(!seen.contains(q(r.name)));
            seen.insert(q(r.name));
            QVERIFY(!repeatCodes.contains(r.repeatCode));
            repeatCodes.insert(r.repeatCode);
            QCOMPARE(findRepeat(r.repeatCode), &r);
            QCOMPARE(r.code.size(), size_t(3));
            QVERIFY(r.menuCursor || (r.pace.repeatMs > 0 && r.pace.wait.clearMs >= r.pace.wait.replyMs));
        }
        QCOMPARE(findRepeat(0), nullptr);
        for (const Address &a : kAddresses)
            QCOMPARE(findControl(a.option)->kind, Kind::Option);
        // The rest of the buttons: SEND, CLS, the data display toggle, COM and END.
        int buttons = 0;
        for (const Control &c : kControls)
            buttons += c.kind == Kind::Button;
        QCOMPARE(seen.size() + 5, buttons);
    }

    void gridColumnsSendTheirSignalWords() {
        // Caption of the column -> signal word on the line.
        const QHash<QString, QString> words{{"DVI", "DIGITAL"}, {"RGB", "ANALOG"},  {"VIDEO", "VIDEO"},
                                            {"YPbPr", "YPBPR"}, {"YCbCr", "YCBCR"}, {"S-VIDEO", "S-VIDEO"},
                                            {"HDCP", "HDCP"},   {"SDI1", "HD-SDI1"}};
        int grid = 0;
        for (const OneShot &b : kOneShots) {
            const Control *c = findControl(b.name);
            if (c->container != "Frame14")
                continue;
            ++grid;
            const int row = c->top / 240;
            QCOMPARE(q(b.code), QStringLiteral("CF INPUT%1 %2").arg(row).arg(words.value(q(c->caption))));
            QCOMPARE(b.wait.replyMs, kGridWait.replyMs);
            QCOMPARE(b.wait.clearMs, kGridWait.clearMs);
        }
        QCOMPARE(grid, 32);
    }

    void viewsShowTheirBands() {
        // Client height of each view against the bottom of the last band it shows and the top of the next.
        const auto client = [](int outer) { return outer - kNominalFrame; };
        QVERIFY(client(kCompactHeight) >= 4815 && client(kCompactHeight) <= 4920);
        QVERIFY(client(kDataHeight) >= 6210 && client(kDataHeight) <= 6225);
        // The grid frame's top edge shows; its first row of buttons (240 below) does not.
        QVERIFY(client(kEnlargedHeight) >= 6690 && client(kEnlargedHeight) < 6735 + 240);
        QVERIFY(client(kFullHeight) >= 8625);
        QVERIFY(kCompactHeight < kToggleThreshold && kDataHeight >= kToggleThreshold);
    }
};

QTEST_APPLESS_MAIN(TestTables)
#include "tst_tables.moc"
