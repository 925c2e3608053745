// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <vector>

/// The box a worker closes itself in before it reads a picture, so that a decoder broken into by a
/// crafted file can do no more than fail its job: no network, no programs started, no other process
/// touched, and no file reached but the libraries, its private folder and the output folder.
///
/// Each layer is put up where the kernel offers it and said when it is not; none depends on another.
namespace Sandbox {

/// What a worker may reach once its files are restricted.
struct Places {
    /// Read, never written: libraries, ImageMagick's configuration, the policy folder.
    std::vector<QByteArray> readable;
    /// Read and written: the library's caches and the worker's policy.
    QByteArray privateFolder;
    /// Descriptors of the folders outputs go to: files are created, written, renamed and removed
    /// there, never read. None for a worker that only shows previews.
    std::vector<int> outputFolders;
};

/// The places every worker reads: /usr, ImageMagick's configuration in /etc, the few files and
/// folders of /etc, /dev, /proc and /sys that the libraries read while they work, and each folder of
/// the colon-separated lists given (MAGICK_CONFIGURE_PATH, LD_LIBRARY_PATH).
std::vector<QByteArray> systemPlaces(const std::vector<QByteArray>& folderLists);

/// Moves the worker into a network namespace of its own, with nothing but a loopback that is down:
/// directly where the process may, else inside a user namespace of its own, mapped to the same user
/// and group, with every capability that brings dropped again. Only while the process has one
/// thread. False where the kernel lets it do neither.
bool leaveNetwork();

/// The process and every thread it starts may never gain privileges (set-user-ID programs, file
/// capabilities). The other layers need it.
bool forbidNewPrivileges();

/// Restricts the files of this thread and of every thread it starts afterwards to places, with
/// Landlock; call it before any other thread exists. Also closes TCP and, where the kernel can,
/// signals to processes outside the box. The Landlock ABI version in force, 0 where the kernel has
/// none (the files are then not restricted).
int restrictFiles(const Places& places);

/// Filters the system calls of every thread of the process, as the last step before the first picture:
/// starting programs, sockets, tracing, namespaces and mounts, changing owners or modes, and signals to
/// other processes end the worker at once. Any call not known to be needed ends it too, after a line
/// on stderr naming the call. False where the kernel has no filter.
bool filterSystemCalls();

/// True when the library's words for a failure name a file outside the private folder while the files
/// are restricted: the worker hands the library its pictures as bytes and its caches in the private
/// folder, so a file it tried to reach by name anywhere else (an SVG's linked image, a decoder broken
/// into) is one the box refused it.
bool refusedFile(const char* libraryWords);

} // namespace Sandbox
