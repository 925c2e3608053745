// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QString>

#include <optional>

/// What the window's process and kalvorin-worker say to each other: length-prefixed frames, each a
/// QDataStream of one request or one answer.
namespace Protocol {

/// The version of this protocol; a worker of another version is not used.
inline constexpr quint32 version = 2;

/// Sets the one QDataStream format both sides use; every stream over a payload gets it.
void pin(QDataStream& stream);

/// What a frame to the worker carries: a request, or the go-ahead for a conversion that said how
/// large its picture is.
enum class Kind : quint8 {
    Preview = 1,
    Convert = 2,
    /// A qint64 follows: the bytes of memory the conversion may keep pixels in.
    Proceed = 3,
};

/// What a frame from the worker carries: a sign of life while it works, then the answer.
enum class Reply : quint8 {
    /// The worker is making progress; a qint64 follows, the pixels of the picture (0 until known).
    Progress = 1,
    /// The answer to the request; the rest of the frame is the answer's own stream.
    Answer = 2,
    /// A conversion has read its picture's header and waits for Proceed before it decodes; a qint64
    /// follows, the pixels of every frame.
    Measured = 3,
    /// The worker's first frame, before any request: a quint32 follows, its protocol version.
    Hello = 4,
};

/// The outcome of one request. The worker reports the first eight itself; the client adds Timeout,
/// Crashed, NoWorker, Cancelled, ProtocolError and WrongWorker when the worker stopped answering, died,
/// could not be started, was stopped on purpose, broke the protocol or speaks another version of it.
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
    Cancelled,
    /// The worker said something the protocol does not allow.
    ProtocolError,
    /// The worker speaks another version of the protocol: it belongs to another build of the program.
    WrongWorker,
};

/// A failure that comes from the size of the picture or the room left for it: the worker that met it
/// is replaced before its next picture, so that nothing it held back is charged to that one.
bool isResourceFailure(Status status);

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
