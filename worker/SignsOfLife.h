// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ipc/Protocol.h"
#include "worker/JobHooks.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Signs of life while a job runs: a second thread reports every second, with the picture's pixels
// once they are known and how much of it is done where the job counts that (the photo path's rows).
// ImageMagick's own progress monitor is no use for this: its dithering calls it for every pixel,
// formatting a message each time, which halved the speed of GIF conversions.
class SignsOfLife {
public:
    explicit SignsOfLife(const PictureJobs::Hooks& hooks)
        : m_hooks(hooks)
    {
        if (m_hooks.progress)
            m_thread = std::thread([this] { beat(); });
    }
    ~SignsOfLife()
    {
        if (!m_thread.joinable())
            return;
        {
            const std::lock_guard lock(m_mutex);
            m_over = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    SignsOfLife(const SignsOfLife&) = delete;
    SignsOfLife& operator=(const SignsOfLife&) = delete;

    void pixelsKnown(qint64 pixels)
    {
        m_pixels = pixels;
        if (m_hooks.progress)
            m_hooks.progress(pixels, m_done);
    }
    // Told at the next beat, or at once when the hooks ask for every step.
    void doneSoFar(qint16 done)
    {
        done = std::clamp<qint16>(done, 0, Protocol::perMille);
        if (m_done.exchange(done) != done && m_hooks.everyStep && m_hooks.progress)
            m_hooks.progress(m_pixels, done);
    }

private:
    void beat()
    {
        std::unique_lock lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_over; }))
            m_hooks.progress(m_pixels, m_done);
    }

    const PictureJobs::Hooks& m_hooks;
    std::atomic<qint64> m_pixels = 0;
    std::atomic<qint16> m_done = 0;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_over = false;
    std::thread m_thread;
};