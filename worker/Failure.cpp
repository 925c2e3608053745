// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/Failure.h"

#include "worker/Sandbox.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
using Protocol::Status;

bool mentions(const char* what, std::initializer_list<const char*> words)
{
    return std::any_of(words.begin(), words.end(), [&](const char* word) { return std::strstr(what, word); });
}
} // namespace

std::string systemWords(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

bool isNoSpace(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

// Warnings are not failures: a JPEG with a malformed XMP packet still has good pixels. A picture that
// ends early is, or its missing part would be written out as grey.
bool isTruncation(const Magick::Exception& warning)
{
    const char* what = warning.what();
    return std::strstr(what, "Premature end") || std::strstr(what, "premature end") ||
           std::strstr(what, "unexpected end") || std::strstr(what, "Unexpected end") ||
           std::strstr(what, "insufficient image data") || std::strstr(what, "Corrupt image");
}

// The coders say "too large" in many ways, some of them as warnings with no picture, and some only
// as the failure it caused further on (a PNG writer that ran out of room says "No IDATs written").
Failure failureOf(const Magick::Exception& error)
{
    const char* what = error.what();
    if (mentions(what, {"No space left on device", "Disk quota exceeded"}))
        return {Status::DiskFull, what};
    if (Sandbox::refusedFile(what))
        return {Status::Sandboxed, std::string("sandbox: ") + what};
    const bool tooLarge =
        dynamic_cast<const Magick::ErrorResourceLimit*>(&error) ||
        dynamic_cast<const Magick::WarningResourceLimit*>(&error) ||
        mentions(what, {"exceeds limit", "ResourceLimit", "MemoryAllocationFailed", "memory allocation failed",
                        "cache resources exhausted", "UnableToExtendCache", "unable to extend cache",
                        "No IDATs written", "PixelCacheAllocationFailed", "pixel cache allocation failed"});
    return {tooLarge ? Status::TooLarge : Status::Corrupt, what};
}

Failure writeFailure(const char* what, int error)
{
    return {isNoSpace(error) ? Status::DiskFull : Status::NotWritable, systemWords(what, error)};
}
