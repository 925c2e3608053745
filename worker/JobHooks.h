// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <functional>

namespace PictureJobs {

/// What a job tells the worker while it runs.
struct Hooks {
    /// Called about once a second, from another thread, while the job runs, and once when the pixels
    /// of the picture are known: with those pixels (0 before) and the thousandths of the job done, as
    /// far as the job can tell (0 where it cannot).
    std::function<void(qint64 pixels, qint16 done)> progress;
    /// Calls progress at each change of the thousandths done as well: the tests see every step.
    bool everyStep = false;
    /// Called once the output's temporary file exists and holds part of the picture, before it is
    /// finished and renamed: the tests stop a worker there.
    std::function<void()> partWritten;
    /// Called with the output's file name the moment it has it, before the job answers.
    std::function<void(const QString& name)> renamed;
    /// Called with the pixels of every frame, read from the picture's header, before it is decoded;
    /// returns when the job may go on. The worker waits there for the window's word.
    std::function<void(qint64 pixels)> admit;
};

} // namespace PictureJobs
