// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>

/// The window opens each picture for the worker and hands it over as a descriptor, on a socket of its
/// own beside the pipes of the frames: the worker then needs no right to open the user's files, and
/// its file system can be closed to everything but what it writes.
///
/// One message goes with each request: four bytes, the error the window met opening the picture (0
/// when it opened), and the open file when there is one.
namespace SourceChannel {

/// A connected pair of sequenced-packet sockets, both close-on-exec: [0] the window's, [1] the
/// worker's. False with errno set when the system has none to give.
bool makePair(int ends[2]);

/// Sends the open file (closed by the caller afterwards), or error when there is no file. False when
/// the worker's end is gone or full: a worker that takes none is stuck.
bool send(int socket, int file, int error);

/// What came with a request: an open file that now belongs to the receiver, or the error the window
/// met; never both.
struct Received {
    int file = -1;
    int error = 0;
};

/// Waits for the next message. Nothing when the window's end has closed, or for a message that breaks
/// the rules above (any descriptor beyond the one, with an error or without a file); whatever came with
/// one is closed.
std::optional<Received> receive(int socket);

} // namespace SourceChannel
