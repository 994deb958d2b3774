// The library between two processes through shared buffers, as a contender
// of the frames comparison: "xcli" takes a buffer from its pool per frame
// and sends it (OsMsgAsynSendBuf) to task "sink" of "xsrv", which reads it in
// place in its read-only mapping of the client's segment; round trips lend
// one buffer to task "echo" (OsMsgSynSendBuf), which answers with the
// frame's 8-byte stamp. Both tasks are served on the server's receive thread
// (OsMsgTaskServeOnReceive), as a consumer of a stream would have them. Both
// select the Unix-socket carrier and the scratch directory before they join.
//
// A frame goes back to the client's pool when the server is done with it;
// while all of a size are in flight the client waits for one to come back
// (OsMsgBufAllocTimed), as an application whose frames are all at its
// consumer would. The client's pool holds FramesInFlight frames of the
// measured size, as iceoryx's pool holds its chunks. The client reaches the
// server (OsMsgWaitProcess) before the clock starts, as iceoryx's publisher
// waits for its subscriber.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frames_contenders.h"
#include "library_member.h"

namespace compare {

namespace {

constexpr const char *kServer = "xsrv";
constexpr const char *kClient = "xcli";

constexpr uint32_t kFramesAtLeast = 24U;

Tally *g_tally = nullptr;

uint32_t TakeFrame(MsgHead *msg) {
    g_tally->Take(msg->data, msg->dataLen);
    return 0;
}

uint32_t AnswerStamp(MsgHead *msg) {
    return OsMsgSynSendResp(msg, msg->data, msg->dataLen >= 8U ? 8U : 0U);
}

MsgHead FrameTo(const char *task, void *data, uint32_t len) {
    MsgHead head{};
    head.msgId = 1;
    CopyName(head.sendProcName, kClient);
    CopyName(head.recvProcName, kServer);
    CopyName(head.recvTaskName, task);
    head.data = data;
    head.dataLen = len;
    return head;
}

/* The block a frame of size bytes takes in the pool: a power of two. */
uint64_t BlockOf(uint32_t size) {
    uint64_t block = 4096U;
    while (block < size) {
        block *= 2U;
    }
    return block;
}

void *AllocWaiting(uint32_t size) {
    void *data = nullptr;
    return OsMsgBufAllocTimed(size, &data, 5000U) == OS_MSG_OK ? data : nullptr;
}

bool ServeOneWay(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish, Tally &tally) {
    g_tally = &tally;
    Membership member(kServer, dir.c_str());
    return member.AddTask("sink", c.depth, TakeFrame, true) && ready() && finish();
}

bool SendOneWay(const OneWayCase &c, const std::string &dir, const Hook &begin, const Hook &finish) {
    Membership member(kClient, dir.c_str());
    if (!member.Reach(kServer) || OsMsgBufSetPoolLimit(FramesPoolMegabytes(c.size)) != OS_MSG_OK || !begin()) {
        return false;
    }
    for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
        void *data = AllocWaiting(c.size);
        if (data == nullptr) {
            return false;
        }
        StampFrame(static_cast<char *>(data), c, seq);
        MsgHead model = FrameTo("sink", data, c.size);
        if (SendRetrying(model, OsMsgAsynSendBuf) != OS_MSG_OK) {
            return false;
        }
    }
    return finish();
}

bool ServeEcho(uint32_t, uint32_t, const std::string &dir, const Hook &ready, const Hook &finish) {
    Membership member(kServer, dir.c_str());
    return member.AddTask("echo", 16, AnswerStamp, true) && ready() && finish();
}

bool CallEcho(uint32_t size, uint32_t warmup, uint32_t count, const std::string &dir, const Hook &finish,
              std::vector<double> &samplesUs) {
    Membership member(kClient, dir.c_str());
    const std::string self = member.AddCaller();
    void *data = self.empty() ? nullptr : AllocWaiting(size);
    if (data == nullptr) {
        return false;
    }
    uint64_t seq = 0;
    bool ok = DriveRoundTrips(
                  warmup, count,
                  [&] {
                      StampPayload(static_cast<char *>(data), 0, ++seq);
                      MsgHead head = FrameTo("echo", data, size);
                      CopyName(head.sendTaskName, self.c_str());
                      MsgHead *resp = nullptr;
                      uint32_t ret = OsMsgSynSendBuf(&head, &resp, 1000U);
                      bool same = ret == OS_MSG_OK && resp->dataLen == 8U && std::memcmp(resp->data, data, 8U) == 0;
                      if (!same) {
                          std::fprintf(stderr, "round trip %llu came back wrong: 0x%x\n", (unsigned long long)seq, ret);
                      }
                      if (ret == OS_MSG_OK) {
                          (void)OsMsgSynRespFree(resp);
                      }
                      return same;
                  },
                  samplesUs) &&
              finish();
    (void)OsMsgBufFree(data);
    return ok;
}

} // namespace

uint32_t FramesPoolMegabytes(uint32_t size) {
    return static_cast<uint32_t>((kFramesAtLeast * BlockOf(size) + (1U << 20) - 1U) >> 20);
}

uint32_t FramesInFlight(uint32_t size) {
    return static_cast<uint32_t>((static_cast<uint64_t>(FramesPoolMegabytes(size)) << 20) / BlockOf(size));
}

const IpcContender kFramesLibraryShared = {"library between processes, shared buffers", ServeOneWay, SendOneWay,
                                           ServeEcho, CallEcho};

} // namespace compare
