// SPDX-License-Identifier: GPL-3.0-or-later
#include "ipc/SourceChannel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {
// Room for more descriptors than a message may carry, so that extra ones arrive (to be closed) and are
// not left to the kernel's truncation.
constexpr int roomForDescriptors = 4;
} // namespace

bool SourceChannel::makePair(int ends[2])
{
    return ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0;
}

bool SourceChannel::send(int socket, int file, int error)
{
    const std::int32_t word = file >= 0 ? 0 : (error != 0 ? error : EBADF);
    iovec part{const_cast<std::int32_t*>(&word), sizeof word};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (file >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &file, sizeof file);
    }
    for (;;) {
        // Never waits: the worker takes each message before it answers, so at most one is ever queued.
        const ssize_t sent = ::sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == ssize_t(sizeof word))
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        return false;
    }
}

std::optional<SourceChannel::Received> SourceChannel::receive(int socket)
{
    std::int32_t word = 0;
    iovec part{&word, sizeof word};
    alignas(cmsghdr) char control[CMSG_SPACE(roomForDescriptors * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = -1;
    do {
        got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);

    int files[roomForDescriptors];
    int count = 0;
    bool foreign = false;
    for (cmsghdr* header = got >= 0 ? CMSG_FIRSTHDR(&message) : nullptr; header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
            foreign = true;
            continue;
        }
        const size_t bytes = header->cmsg_len - CMSG_LEN(0);
        for (size_t at = 0; at + sizeof(int) <= bytes && count < roomForDescriptors; at += sizeof(int))
            std::memcpy(&files[count++], CMSG_DATA(header) + at, sizeof(int));
    }
    const bool whole = got == ssize_t(sizeof word) && !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) && !foreign;
    const bool oneFile = whole && count == 1 && word == 0;
    const bool oneError = whole && count == 0 && word > 0;
    if (!oneFile) {
        for (int i = 0; i < count; ++i)
            ::close(files[i]);
    }
    if (oneFile)
        return Received{files[0], 0};
    if (oneError)
        return Received{-1, word};
    return std::nullopt;
}
