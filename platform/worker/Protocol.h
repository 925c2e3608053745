#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

/// What the window's process and kalvorin-worker say to each other: length-prefixed frames, each a
/// QDataStream of one request or one answer.
namespace Protocol {

enum class Kind : quint8 { Preview = 1, Convert = 2 };

/// The outcome of one request. The worker reports the first eight itself; the client adds Timeout,
/// Crashed and NoWorker when the worker overran its time, died, or could not be started.
enum class Status : quint8 {
    Ok = 0,
    Missing,
    Unreadable,
    Unsupported,
    Corrupt,
    TooLarge,
    NotWritable,
    DiskFull,
    Timeout,
    Crashed,
    NoWorker,
};

/// The reason a person reads, in Chinese; empty for Ok.
QString reason(Status status);

/// Prefixes payload with its length.
QByteArray frame(const QByteArray& payload);

/// Takes one whole frame's payload off the front of buffer; nothing while the frame is incomplete.
/// A length beyond maxFrame marks a broken stream: the answer is an empty payload and buffer is
/// emptied.
std::optional<QByteArray> takeFrame(QByteArray& buffer);

inline constexpr quint32 maxFrame = 512u * 1024 * 1024;

} // namespace Protocol
