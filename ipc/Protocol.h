// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/Naming.h"

#include <QByteArray>
#include <QDataStream>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

/// What the window's process and kalvorin-worker say to each other: length-prefixed frames, each a
/// QDataStream of one request or one answer.
namespace Protocol {

/// The version of this protocol; a worker of another version is not used. Version 5: each request
/// comes with its picture's open file on a socket beside the frames (ipc/SourceChannel.h).
inline constexpr quint32 version = 5;

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
    /// The worker is making progress; a qint64 follows, the pixels of the picture (0 until known), then
    /// a qint16, how much of the picture is done in thousandths (0 to perMille; 0 while unknown).
    Progress = 1,
    /// The answer to the request; the rest of the frame is the answer's own stream.
    Answer = 2,
    /// A conversion has read its picture's header and waits for Proceed before it decodes; a qint64
    /// follows, the pixels of every frame.
    Measured = 3,
    /// The worker's first frame, before any request: a quint32 follows, its protocol version, then a
    /// quint32 of the Layer flags of its sandbox in force.
    Hello = 4,
    /// A conversion's output has its final name, which follows as a QString: sent the moment the file
    /// is there, before the answer, so that a worker stopped in between is still heard.
    Written = 5,
};

/// The outcome of one request. The worker reports the first eight and Sandboxed itself; the client adds
/// Timeout, Crashed, NoWorker, Cancelled, ProtocolError and WrongWorker when the worker stopped
/// answering, died, could not be started, was stopped on purpose, broke the protocol or speaks another
/// version of it, and Sandboxed when the sandbox killed it.
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
    /// The worker's sandbox stopped the job: a file it may not reach, a system call it may not make
    /// (the client sees the worker killed by SIGSYS).
    Sandboxed,
};

/// A failure that comes from the size of the picture or the room left for it: the worker that met it
/// is replaced before its next picture, so that nothing it held back is charged to that one.
bool isResourceFailure(Status status);

/// The reason a person reads, in Chinese; empty for Ok.
QString reason(Status status);

/// The bytes of a frame's length, big-endian, ahead of its payload.
inline constexpr qsizetype lengthSize = 4;
/// The length that starts a frame of length bytes.
QByteArray frameStart(quint32 length);
/// Prefixes payload with its length.
QByteArray frame(const QByteArray& payload);

/// Takes one whole frame's payload off the front of buffer; nothing while the frame is incomplete.
/// A length beyond maxLength marks a broken stream: the answer is an empty payload and buffer is
/// emptied. Checked on the length alone, so a reader that stops adding at maxLength + 4 bytes never
/// holds more.
std::optional<QByteArray> takeFrame(QByteArray& buffer, quint32 maxLength);

/// Cuts frames, as takeFrame() does, out of a stream that arrives in pieces of any size: the window's
/// reading of a worker.
class FrameReader {
public:
    explicit FrameReader(quint32 maxLength)
        : m_maxLength(maxLength)
    {
    }
    /// The most bytes to add now: a reader that adds no more never holds more than one whole frame of
    /// maxLength, however much the other side sends.
    qint64 room() const;
    void append(const QByteArray& bytes) { m_buffer += bytes; }
    /// The next whole frame's payload, as takeFrame() gives it.
    std::optional<QByteArray> next() { return takeFrame(m_buffer, m_maxLength); }
    void clear() { m_buffer.clear(); }

private:
    quint32 m_maxLength;
    QByteArray m_buffer;
};

/// Reads one frame's payload from a blocking stream: the worker's reading of the window. readExactly
/// fills all of the bytes it is given, or says false when the stream ended or failed. Nothing then, nor
/// for a length beyond maxLength, whose bytes are not read.
std::optional<QByteArray> readFrame(const std::function<bool(char* data, qsizetype size)>& readExactly,
                                    quint32 maxLength);

/// The longest path a request may name a file or folder by, in UTF-16 units: deeper than any real
/// folder tree, and short enough to keep a request small.
inline constexpr qsizetype maxPathLength = 32767;
/// The longest file name: NAME_MAX bytes, and a character takes at least one.
inline constexpr qsizetype maxNameLength = 255;
/// The largest side of a preview's box: the window's 417x413 at a device pixel ratio of up to 4.9.
inline constexpr int maxPreviewSide = 2048;
/// The most characters of the library's or the system's words a conversion's answer carries.
inline constexpr qsizetype maxDetailLength = 4096;
/// The pixels a reply may report. A header can claim far more (65535 x 65535 in each of thousands of
/// frames); such a value is capped here, where no arithmetic on it can overflow.
inline constexpr qint64 maxPixels = qint64(1) << 48;
/// A whole picture, in the thousandths a Progress frame counts in.
inline constexpr qint16 perMille = 1000;

/// The largest frame to the worker: a conversion naming the longest path and names.
inline constexpr quint32 maxRequestFrame = 1 + (4 + 2 * maxPathLength) + 4 + 2 * (4 + 2 * maxNameLength) + 4 + 1;
/// The largest frame from the worker: a preview filling the largest box with 8-bit RGBA. Anything
/// longer stops the worker, which keeps the window's buffer for it at about 16 MiB.
inline constexpr quint32 maxReplyFrame = 1 + 1 + 4 + 4 + 4 + quint32(maxPreviewSide) * maxPreviewSide * 4;

/// True for what a request may name a file or folder by: an absolute path without NUL, of at most
/// maxPathLength.
bool isSafePath(const QString& path);
/// True for one plain file name: not empty, ".", or "..", and without "/" or NUL.
bool isPlainName(const QString& name);

struct PreviewRequest {
    QString path;
    QSize box;
};

/// One picture to convert: the output is written to temporaryName in the output folder and moved to
/// finalName there. The folder is a descriptor the worker was handed when it started, so a path
/// swapped later cannot send the file elsewhere. A file that has finalName by then is replaced only
/// when replace says so; otherwise the output takes the source's next free numbered name.
struct ConvertRequest {
    QString source;
    qint32 folder = -1;
    QString finalName;
    QString temporaryName;
    OutputFormat::Index format = OutputFormat::Jpg;
    bool replace = false;
};

/// What is wrong with a request, in the program's words; empty when the worker may carry it out.
QString problemWith(const PreviewRequest& request);
QString problemWith(const ConvertRequest& request);

QByteArray encode(const PreviewRequest& request);
QByteArray encode(const ConvertRequest& request);
QByteArray encodeProceed(qint64 memory);

/// A request frame as the worker reads it. kind is empty for a frame of no known request; error says
/// what is wrong with it, and is empty only when every field was read and passed problemWith().
struct Request {
    std::optional<Kind> kind;
    PreviewRequest preview;
    ConvertRequest convert;
    QString error;
};
Request decodeRequest(const QByteArray& payload);
/// The memory of a Proceed frame; nothing for any other frame or a negative value.
std::optional<qint64> decodeProceed(const QByteArray& payload);

/// The worker's answer to a preview. A failure carries neither size nor pixels.
struct PreviewAnswer {
    Status status = Status::Ok;
    QSize size;
    /// Rows of 8-bit RGBA, top to bottom.
    QByteArray rgba;
};

/// The worker's answer to a conversion, with the library's or the system's own words on a failure.
struct ConvertAnswer {
    Status status = Status::Ok;
    QString detail;
};

/// True for the statuses the worker itself reports: its eight outcomes, its sandbox's refusal, and a
/// request it refused.
bool isWorkerStatus(Status status);

/// Reply frames whole, their kind first; the detail is cut to maxDetailLength.
QByteArray encode(const PreviewAnswer& answer);
QByteArray encode(const ConvertAnswer& answer);
QByteArray encodeProgress(qint64 pixels, qint16 done = 0);
QByteArray encodeMeasured(qint64 pixels);
/// The layers of a worker's sandbox, as its Hello says which are in force.
enum Layer : quint32 {
    NoNewPrivileges = 1,
    SystemCallFilter = 2,
    FileRestriction = 4,
    OwnNetwork = 8,
};
QByteArray encodeHello(quint32 version, quint32 layers = 0);

QByteArray encodeWritten(const QString& name);

/// A reply frame as the window reads it: its kind and the value it carries (the pixels of Progress
/// and Measured, capped at maxPixels; the version of Hello; the plain file name of Written), with
/// Progress's thousandths done, or for an Answer the answer's own bytes, to be read by what was asked.
/// Nothing when the frame is not one the protocol allows: thousandths outside 0 to perMille are a
/// worker gone wrong, not rounded.
struct ReplyFrame {
    Reply kind = Reply::Answer;
    qint64 value = 0;
    /// Hello's Layer flags; a Hello of an older version may carry none.
    quint32 layers = 0;
    qint16 done = 0;
    QString name;
    QByteArray answer;
};
std::optional<ReplyFrame> decodeReply(const QByteArray& payload);

/// What a worker's first frame says of it: Ok for a Hello of this version, WrongWorker for a Hello of
/// another (a worker of another build), ProtocolError for any other frame.
Status greeting(const ReplyFrame& first);

/// The answers as the window reads them, every field checked: nothing when one is out of bounds (a
/// status the worker cannot report, pixels that do not match the size, a size beyond the box's
/// limit, anything left over).
std::optional<PreviewAnswer> decodePreviewAnswer(const QByteArray& answer);
std::optional<ConvertAnswer> decodeConvertAnswer(const QByteArray& answer);

} // namespace Protocol
