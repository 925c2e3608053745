// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/QuitSignals.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>

namespace {
volatile std::sig_atomic_t ownHandlerGot = 0;

extern "C" void ownHandler(int signal)
{
    ownHandlerGot = signal;
}

/// The test's own handler for signal while it exists; the disposition before it comes back after.
class OwnHandler {
public:
    explicit OwnHandler(int signal)
        : m_signal(signal)
    {
        struct sigaction action {};
        action.sa_handler = ownHandler;
        sigemptyset(&action.sa_mask);
        ::sigaction(m_signal, &action, &m_before);
        ownHandlerGot = 0;
    }
    ~OwnHandler() { ::sigaction(m_signal, &m_before, nullptr); }
    OwnHandler(const OwnHandler&) = delete;
    OwnHandler& operator=(const OwnHandler&) = delete;

private:
    int m_signal;
    struct sigaction m_before {};
};
} // namespace

class TestQuitSignals : public QObject {
    Q_OBJECT

private slots:
    void reportedThenPreviousHandlerBack_data();
    void reportedThenPreviousHandlerBack();
    void signalsBeforeTheLoopAreKept();
    void ignoredSignalStaysIgnored_data();
    void ignoredSignalStaysIgnored();
};

void TestQuitSignals::reportedThenPreviousHandlerBack_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestQuitSignals::reportedThenPreviousHandlerBack()
{
    QFETCH(int, signal);
    // Should the object not catch it, the test's handler does, rather than end the test.
    const OwnHandler own(signal);
    auto quit = std::make_unique<QuitSignals>();
    QSignalSpy spy(quit.get(), &QuitSignals::quitRequested);
    QCOMPARE(::raise(signal), 0);
    QTRY_COMPARE(spy.size(), 1);
    QCOMPARE(spy[0][0].toInt(), signal);
    QCOMPARE(int(ownHandlerGot), 0);
    quit.reset();

    QCOMPARE(::raise(signal), 0);
    QCOMPARE(int(ownHandlerGot), signal);
    // A second object may follow the first.
    QuitSignals again;
    QSignalSpy againSpy(&again, &QuitSignals::quitRequested);
    QCOMPARE(::raise(signal), 0);
    QTRY_COMPARE(againSpy.size(), 1);
}

void TestQuitSignals::signalsBeforeTheLoopAreKept()
{
    const OwnHandler term(SIGTERM);
    const OwnHandler hangUp(SIGHUP);
    QuitSignals quit;
    QSignalSpy spy(&quit, &QuitSignals::quitRequested);
    QCOMPARE(::raise(SIGHUP), 0);
    QCOMPARE(::raise(SIGTERM), 0);
    QCOMPARE(spy.size(), 0);
    QTRY_COMPARE(spy.size(), 2);
    QCOMPARE(spy[0][0].toInt(), SIGHUP);
    QCOMPARE(spy[1][0].toInt(), SIGTERM);
    QCOMPARE(int(ownHandlerGot), 0);
}

void TestQuitSignals::ignoredSignalStaysIgnored_data()
{
    reportedThenPreviousHandlerBack_data();
}

void TestQuitSignals::ignoredSignalStaysIgnored()
{
    QFETCH(int, signal);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction before {};
    ::sigaction(signal, &ignore, &before);
    struct sigaction during {};
    {
        QuitSignals quit;
        ::sigaction(signal, nullptr, &during);
    }
    struct sigaction after {};
    ::sigaction(signal, &before, &after);
    QVERIFY(during.sa_handler == SIG_IGN);
    QVERIFY(after.sa_handler == SIG_IGN);
}

QTEST_GUILESS_MAIN(TestQuitSignals)
#include "tst_quitsignals.moc"
