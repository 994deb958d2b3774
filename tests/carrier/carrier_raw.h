/*
 * A peer that talks to a carrier socket without the library: it connects
 * to a process's socket and writes datagrams framed as the carrier frames
 * them, whatever it likes in the headers (made-up sender names, tasks that
 * are full), and reads what comes back on its own connection. All calls
 * are async-signal-safe except the builders (std::string), so a forked
 * child may use Connect, SendBytes and ReceiveBytes on buffers built before
 * the fork.
 */
#ifndef VYRE_CARRIER_RAW_H
#define VYRE_CARRIER_RAW_H

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "transport/msg_adapter.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_frame.h"
#include "vyre_os_msg.h"

namespace carrier_raw {

/* A connection to the socket at path (blocking unless flags has
 * SOCK_NONBLOCK), -1 when none. */
inline int Connect(const std::string &path, int flags = 0) {
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | flags, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        (void)close(fd);
        fd = -1;
    }
    return fd;
}

inline void Name(char *field, const std::string &text) {
    std::memset(field, 0, OS_MSG_NAME_LEN);
    std::memcpy(field, text.c_str(), text.size() < OS_MSG_NAME_LEN - 1U ? text.size() : OS_MSG_NAME_LEN - 1U);
}

/* A header from task sendTask of sendProc (whatever the kernel says) to
 * task recvTask of recvProc. */
inline MsgHead Head(const std::string &sendProc, const std::string &sendTask, const std::string &recvProc,
                    const std::string &recvTask, uint32_t msgId, uint32_t dataLen) {
    MsgHead head;
    std::memset(&head, 0, sizeof(head));
    Name(head.sendProcName, sendProc);
    Name(head.sendTaskName, sendTask);
    Name(head.recvProcName, recvProc);
    Name(head.recvTaskName, recvTask);
    head.msgId = msgId;
    head.dataLen = dataLen;
    return head;
}

/* A record's prefix (transType, flags, a body of bodyLen bytes) and head;
 * its body and any tail follow. */
inline std::string Framed(uint32_t transType, uint32_t flags, uint32_t bodyLen, const MsgHead &head) {
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, transType, flags, bodyLen);
    std::string out(reinterpret_cast<const char *>(&prefix), sizeof(prefix));
    return out.append(reinterpret_cast<const char *>(&head), IPC_FRAME_HEAD_LEN);
}

/* One unsliced record of transport type transType. */
inline std::string Record(uint32_t transType, const MsgHead &head, const std::string &payload) {
    return Framed(transType, 0U, (uint32_t)payload.size(), head) + payload;
}

/* One slice record of an asynchronous message (head's dataLen its total):
 * piece at offset, keyed by key. */
inline std::string Slice(const MsgHead &head, uint32_t offset, const std::string &piece, uint64_t key) {
    MsgSliceTail tail;
    std::memset(&tail, 0, sizeof(tail));
    tail.isSplit = 1U;
    tail.offset = offset;
    tail.curLen = (uint32_t)piece.size();
    tail.flag = key;
    return (Framed(MSG_TRANS_ASYN, IPC_FRAME_SLICED, (uint32_t)piece.size(), head) + piece)
        .append(reinterpret_cast<const char *>(&tail), sizeof(tail));
}

/* The datagrams of an asynchronous message of total bytes (pattern 'x') in
 * slices of at most slice bytes, keyed by key. */
inline std::vector<std::string> Slices(MsgHead head, uint32_t total, uint32_t slice, uint32_t key) {
    head.dataLen = total;
    std::vector<std::string> out;
    for (uint32_t offset = 0U; offset < total; offset += slice) {
        out.push_back(Slice(head, offset, std::string(total - offset < slice ? total - offset : slice, 'x'), key));
    }
    return out;
}

inline bool SendBytes(int fd, const void *data, size_t len) {
    return send(fd, data, len, MSG_NOSIGNAL) == (ssize_t)len;
}

inline bool Send(int fd, const std::string &datagram) {
    return SendBytes(fd, datagram.data(), datagram.size());
}

/* The next datagram into buf (size bytes) within waitMs: its length, or
 * -1 when none came (0 when the connection closed). */
inline ssize_t ReceiveBytes(int fd, void *buf, size_t size, int waitMs) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, waitMs) <= 0) {
        return -1;
    }
    return recv(fd, buf, size, 0);
}

/* The first record of a received datagram: its transport type (or
 * IPC_FRAME_CONTROL), its header (message records) or control body. */
struct Got {
    uint32_t transType = 0U;
    uint32_t kind = 0U; /* control records */
    MsgHead head{};
    IpcFrameControl control{};
    std::string payload;
};

inline bool Parse(const std::string &datagram, Got *got) {
    IpcFramePrefix prefix;
    if (datagram.size() < sizeof(prefix)) {
        return false;
    }
    std::memcpy(&prefix, datagram.data(), sizeof(prefix));
    got->transType = prefix.transType;
    if (prefix.transType == IPC_FRAME_CONTROL) {
        got->kind = prefix.flags;
        return datagram.size() >= IPC_FRAME_CONTROL_RECORD &&
               (std::memcpy(&got->control, datagram.data() + IPC_FRAME_PREFIX_LEN, sizeof(got->control)), true);
    }
    if (datagram.size() < IPC_FRAME_RECORD_OVERHEAD + prefix.bodyLen) {
        return false;
    }
    std::memcpy(&got->head, datagram.data() + IPC_FRAME_PREFIX_LEN, IPC_FRAME_HEAD_LEN);
    got->payload = datagram.substr(IPC_FRAME_RECORD_OVERHEAD, prefix.bodyLen);
    return true;
}

/* The next datagram within waitMs, taken apart; false when none came. */
inline bool Receive(int fd, Got *got, int waitMs) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, waitMs) <= 0) {
        return false;
    }
    // Sized to the datagram: most are notices of a few dozen bytes.
    ssize_t size = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    if (size <= 0) {
        return false;
    }
    std::string buf((size_t)size, '\0');
    ssize_t n = recv(fd, &buf[0], buf.size(), 0);
    return n > 0 && Parse(buf.substr(0, (size_t)n), got);
}

/* A call (no payload) on fd: true when its answer came back within waitMs,
 * taken apart into *got. */
inline bool Call(int fd, const MsgHead &head, Got *got, int waitMs) {
    return Send(fd, Record(MSG_TRANS_SYN, head, "")) && Receive(fd, got, waitMs) &&
           got->transType == MSG_TRANS_SYN_RESP;
}

} // namespace carrier_raw

#endif /* VYRE_CARRIER_RAW_H */
