// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ipc/Protocol.h"

#include <Magick++/Exception.h>

#include <string>

/// Why a job failed, as the window reports it, and the library's or the system's own words.
struct Failure {
    Protocol::Status status;
    std::string detail;
};

/// "what: the system's words for error".
std::string systemWords(const char* what, int error);
bool isNoSpace(int error);
/// A warning that means the picture ended early, whose missing part would come out grey.
bool isTruncation(const Magick::Exception& warning);
/// What ImageMagick's error means for the user: too large, a full disk, or a damaged picture.
Failure failureOf(const Magick::Exception& error);
/// A failed write: a full disk, or the folder refused it.
Failure writeFailure(const char* what, int error);
