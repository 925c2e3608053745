// SPDX-License-Identifier: GPL-3.0-or-later
#include "Protocol.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {
QByteArray framed(const QByteArray& payload)
{
    return Protocol::frame(payload);
}
} // namespace

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
};

// Bytes arrive from a pipe in pieces of any size; each row feeds them piece by piece and says which
// payloads come out, and what is left waiting.
void TestProtocol::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<QByteArray>>("payloads");
    QTest::addColumn<qsizetype>("left");
    const QByteArray one = framed("hello"_ba);
    const QByteArray two = framed("world!"_ba);
    QTest::newRow("whole") << QList<QByteArray>{one} << QList<QByteArray>{"hello"_ba} << qsizetype(0);
    QTest::newRow("split header") << QList<QByteArray>{one.left(2), one.mid(2)} << QList<QByteArray>{"hello"_ba}
                                  << qsizetype(0);
    QTest::newRow("split payload") << QList<QByteArray>{one.left(6), one.mid(6)} << QList<QByteArray>{"hello"_ba}
                                   << qsizetype(0);
    QTest::newRow("two in one read") << QList<QByteArray>{one + two} << QList<QByteArray>{"hello"_ba, "world!"_ba}
                                     << qsizetype(0);
    QTest::newRow("one and a half") << QList<QByteArray>{one + two.left(5)} << QList<QByteArray>{"hello"_ba}
                                    << qsizetype(5);
    QTest::newRow("byte by byte") <<
        [&] {
            QList<QByteArray> bytes;
            for (const char byte : one + two)
                bytes.append(QByteArray(1, byte));
            return bytes;
        }() << QList<QByteArray>{"hello"_ba, "world!"_ba}
                                  << qsizetype(0);
    // A zero length is a frame with nothing in it, which no message is: the reader treats it as
    // broken.
    QTest::newRow("zero length") << QList<QByteArray>{QByteArray(4, '\0')} << QList<QByteArray>{QByteArray()}
                                 << qsizetype(0);
    // Beyond the largest frame: the stream is broken, everything buffered goes.
    QTest::newRow("oversize") << QList<QByteArray>{"\x7f\xff\xff\xff and more"_ba} << QList<QByteArray>{QByteArray()}
                              << qsizetype(0);
    QTest::newRow("garbage") << QList<QByteArray>{"GIF89a, not a frame at all"_ba} << QList<QByteArray>{QByteArray()}
                             << qsizetype(0);
    QTest::newRow("too short to tell") << QList<QByteArray>{"\0\0"_ba} << QList<QByteArray>{} << qsizetype(2);
}

void TestProtocol::framing()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<QByteArray>, payloads);
    QFETCH(qsizetype, left);
    QByteArray buffer;
    QList<QByteArray> out;
    for (const QByteArray& piece : pieces) {
        buffer += piece;
        while (const std::optional<QByteArray> payload = Protocol::takeFrame(buffer)) {
            out.append(*payload);
            if (payload->isEmpty())
                break;
        }
    }
    QCOMPARE(out, payloads);
    QCOMPARE(buffer.size(), left);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
