// SPDX-License-Identifier: GPL-3.0-or-later
// Whatever a peer sends on the pictures' socket, the worker takes one open file or one error, or
// nothing, and keeps no descriptor it was not meant to: every message of the input is sent, with the
// number of descriptors its first byte says, and received.
#include "ipc/SourceChannel.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {
int openDescriptors()
{
    int count = 0;
    for (int fd = 0; fd < 256; ++fd)
        count += ::fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    return count;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int ends[2];
    if (!SourceChannel::makePair(ends))
        return 0;
    const int before = openDescriptors();
    size_t at = 0;
    while (at < size) {
        // A message: how many descriptors (0 to 7), how long its payload (0 to 15), the payload.
        const int files = data[at] & 7;
        const size_t length = std::min<size_t>((data[at] >> 3) & 15, size - at - 1);
        ++at;
        std::vector<int> sent;
        for (int i = 0; i < files; ++i)
            sent.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        char payload[16] = {};
        std::memcpy(payload, data + at, length);
        at += length;
        iovec part{payload, length};
        std::vector<char> control(CMSG_SPACE(sizeof(int) * 8));
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        if (files > 0) {
            message.msg_control = control.data();
            message.msg_controllen = CMSG_SPACE(sizeof(int) * size_t(files));
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int) * size_t(files));
            std::memcpy(CMSG_DATA(header), sent.data(), sizeof(int) * size_t(files));
        }
        const bool went = ::sendmsg(ends[0], &message, MSG_DONTWAIT) >= 0;
        for (const int fd : sent)
            ::close(fd);
        if (!went)
            continue;
        const std::optional<SourceChannel::Received> received = SourceChannel::receive(ends[1]);
        // A file, or an error: never both, never a file for a message that carried none.
        if (received && (received->file >= 0) == (received->error != 0))
            __builtin_trap();
        if (received && received->file >= 0 && (files != 1 || length != 4))
            __builtin_trap();
        if (received && received->file >= 0)
            ::close(received->file);
    }
    ::close(ends[0]);
    ::close(ends[1]);
    // Nothing received stays open.
    if (openDescriptors() != before - 2)
        __builtin_trap();
    return 0;
}
