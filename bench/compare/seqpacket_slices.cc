// Sliced messages over SOCK_SEQPACKET (see seqpacket_slices.h).
#include "seqpacket_slices.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace compare {

namespace {

struct SliceHeader {
    uint32_t total;
    uint32_t offset;
};

} // namespace

bool SendSliced(int fd, const char *data, uint32_t len) {
    uint32_t offset = 0;
    do {
        uint32_t chunk = std::min(kSlice, len - offset);
        SliceHeader header{len, offset};
        iovec parts[2] = {{&header, sizeof(header)}, {const_cast<char *>(data) + offset, chunk}};
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = 2;
        if (sendmsg(fd, &msg, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(header) + chunk)) {
            return false;
        }
        offset += chunk;
    } while (offset < len);
    return true;
}

char *ReceiveSliced(int fd, uint32_t &len) {
    char *buffer = nullptr;
    uint32_t total = 0;
    uint32_t received = 0;
    do {
        SliceHeader header{};
        char first[kSlice];
        // A later slice may fill at most the rest of the message; a longer
        // datagram is cut by the kernel and refused.
        uint32_t room = buffer != nullptr ? std::min(kSlice, total - received) : kSlice;
        iovec parts[2] = {{&header, sizeof(header)}, {buffer != nullptr ? buffer + received : first, room}};
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = 2;
        ssize_t n = recvmsg(fd, &msg, 0);
        uint32_t chunk = n < static_cast<ssize_t>(sizeof(header)) ? 0 : static_cast<uint32_t>(n) - sizeof(header);
        if (n < static_cast<ssize_t>(sizeof(header)) || (msg.msg_flags & MSG_TRUNC) != 0 || header.offset != received ||
            (buffer != nullptr && header.total != total) || header.total - received < chunk) {
            std::free(buffer);
            return nullptr;
        }
        if (buffer == nullptr) {
            total = header.total;
            buffer = static_cast<char *>(std::malloc(std::max(total, 1U)));
            std::memcpy(buffer, first, chunk);
        }
        received += chunk;
    } while (received < total);
    len = total;
    return buffer;
}

} // namespace compare
