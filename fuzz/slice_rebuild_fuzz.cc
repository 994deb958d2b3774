// Fuzzes the slice collector with a stream of received slices, driving one
// collector per input through both protocols as a transport's receive loop
// would, and checks after every slice that the collector's totals match its
// nodes. Sanitizers catch any access outside a payload buffer; the caller's
// copy of the one-step protocol lands exactly where the collector says.
//
// Input: a sequence of records, each
//   op      1 byte   bit 0: two-step protocol (else one-step)
//                    bit 1: the header is 163 bytes long (too short)
//                    bit 2: the header announces no payload (even dataLen
//                           byte) or one byte more than the largest payload
//                    bit 3: two-step: FillMsgBody gets the four int32 values
//                           that follow instead of the collector's values
//                    bit 4: two-step: the caller abandons the slice after the
//                           first step
//                    bit 5: count 100 MiB that no message holds (balancing
//                           evicts one message per new message)
//                    bit 6: count 200 MiB that no message holds (balancing
//                           evicts everything)
//   header  168 bytes; dataLen is cut to 16 bits unless bit 2 is set
//   tail    24 bytes
//   [bit 3: offset, destMax, srcLen, curLen, int32 little-endian each]
//   slice   curLen bytes of the tail, or what is left of the input
//
// Seeds: built with -DSLICE_REBUILD_FUZZ_SEEDS this file is a program that
// writes valid multi-slice streams into the directory given (from the
// repository root):
//   c++ -std=c++17 -DSLICE_REBUILD_FUZZ_SEEDS -Iinclude -Isrc -Iplatform/include
//       fuzz/slice_rebuild_fuzz.cc -o /tmp/seeds
//   /tmp/seeds fuzz/corpus/slice_rebuild_fuzz
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "transport/msg_rebuild.h"

namespace {

constexpr uint8_t kOpTwoStep = 0x01;
constexpr uint8_t kOpShortHead = 0x02;
constexpr uint8_t kOpNoPayload = 0x04;
constexpr uint8_t kOpRawFill = 0x08;
constexpr uint8_t kOpAbandon = 0x10;
constexpr uint8_t kOpBias100 = 0x20;
constexpr uint8_t kOpBias200 = 0x40;

} // namespace

#ifndef SLICE_REBUILD_FUZZ_SEEDS

#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "transport/msg_adp_buff.h"
#include "vyre_os_log.h"

namespace {

using rebuildmsg::MsgRebuildRecvData;
using rebuildmsg::RebuildList;

constexpr int64_t kHigh = 104857600;
constexpr int64_t kExtreme = 209715200;

struct Reader {
    const uint8_t *data;
    size_t size;
    bool Take(void *out, size_t n) {
        if (size < n) {
            return false;
        }
        memcpy(out, data, n);
        data += n;
        size -= n;
        return true;
    }
};

struct Record {
    uint8_t op = 0;
    MsgHead head;
    MsgSliceTail tail;
    int32_t raw[4] = {0, 0, 0, 0};
    std::vector<unsigned char> slice;
};

bool ReadRecord(Reader &in, Record &rec) {
    if (!in.Take(&rec.op, 1) || !in.Take(&rec.head, sizeof(rec.head)) || !in.Take(&rec.tail, sizeof(rec.tail))) {
        return false;
    }
    if ((rec.op & kOpRawFill) != 0 && !in.Take(rec.raw, sizeof(rec.raw))) {
        return false;
    }
    rec.head.data = nullptr;
    if ((rec.op & kOpNoPayload) != 0) {
        rec.head.dataLen = (rec.head.dataLen & 1U) != 0 ? OS_MSG_MAX_DATA_LEN + 1 : 0;
    } else {
        rec.head.dataLen &= 0xFFFFU;
    }
    size_t n = rec.tail.curLen < in.size ? rec.tail.curLen : in.size;
    rec.slice.assign(in.data, in.data + n);
    in.data += n;
    in.size -= n;
    return true;
}

// The receive loop's view of one collector.
class Loop {
public:
    ~Loop() {
        for (RebuildList *node : rebuild_.rebuildNodes) {
            SimpleMsgReleaseBuffer(node->buf, node->dataLen);
        }
    }

    void Handle(Record &rec) {
        if ((rec.op & kOpBias200) != 0) {
            AddBias(kExtreme);
        } else if ((rec.op & kOpBias100) != 0) {
            AddBias(kHigh);
        }
        (void)MsgAdpCheckIsSlice(reinterpret_cast<const unsigned char *>(&rec.tail), sizeof(rec.tail));
        if ((rec.op & kOpTwoStep) != 0) {
            TwoStep(rec);
        } else {
            OneStep(rec);
        }
        CheckTotals();
    }

private:
    void AddBias(int64_t bias) {
        rebuild_.memoryTotal += bias - bias_;
        bias_ = bias;
    }

    unsigned int HeadLen(const Record &rec) const {
        return (rec.op & kOpShortHead) != 0 ? 163U : static_cast<unsigned int>(sizeof(MsgHead));
    }

    // The slice's bytes as the receive loop holds them: curLen bytes, the
    // part the input did not supply left zero.
    static std::vector<unsigned char> SliceBytes(const Record &rec, unsigned int curLen) {
        std::vector<unsigned char> bytes(curLen, 0);
        size_t n = rec.slice.size() < curLen ? rec.slice.size() : curLen;
        if (n > 0) {
            memcpy(bytes.data(), rec.slice.data(), n);
        }
        return bytes;
    }

    void Deliver(const Record &rec, unsigned char *buf, unsigned int bufLen) {
        MsgReleaseBuffByHead(&rec.head, sizeof(MsgHead), buf, bufLen);
    }

    void OneStep(Record &rec) {
        unsigned char *buf = nullptr;
        unsigned int bufLen = 0;
        unsigned char done = 0;
        unsigned int offset = 0;
        unsigned int curLen = 0;
        unsigned int ret =
            rebuild_.RebuildMsg(reinterpret_cast<unsigned char *>(&rec.head), HeadLen(rec),
                                reinterpret_cast<unsigned char *>(&rec.tail), &buf, &bufLen, &done, &offset, &curLen);
        if (ret != OS_MSG_OK) {
            return;
        }
        if (buf == nullptr || static_cast<uint64_t>(offset) + curLen > bufLen) {
            __builtin_trap();
        }
        std::vector<unsigned char> bytes = SliceBytes(rec, curLen);
        if (curLen > 0) {
            memcpy(buf + offset, bytes.data(), curLen);
        }
        if (done == 1) {
            Deliver(rec, buf, bufLen);
        }
    }

    void TwoStep(Record &rec) {
        unsigned char *buf = nullptr;
        unsigned int bufLen = 0;
        unsigned int offset = 0;
        unsigned int curLen = 0;
        unsigned int ret =
            rebuild_.RebuildMsgEx(reinterpret_cast<unsigned char *>(&rec.head), HeadLen(rec),
                                  reinterpret_cast<unsigned char *>(&rec.tail), &buf, &bufLen, &offset, &curLen);
        bool raw = (rec.op & kOpRawFill) != 0;
        if ((ret != OS_MSG_OK && !raw) || (rec.op & kOpAbandon) != 0) {
            return;
        }
        if (ret == OS_MSG_OK && static_cast<uint64_t>(offset) + curLen > bufLen) {
            __builtin_trap();
        }
        int fillOffset = static_cast<int>(offset);
        int destMax = static_cast<int>(bufLen - offset);
        int fillCurLen = static_cast<int>(curLen);
        std::vector<unsigned char> bytes = SliceBytes(rec, ret == OS_MSG_OK ? curLen : 0);
        int srcLen = static_cast<int>(bytes.size());
        if (raw) {
            // Hostile values, except that the source really holds srcLen
            // bytes when srcLen is positive (the collector cannot know that).
            fillOffset = rec.raw[0];
            destMax = rec.raw[1];
            bytes = rec.slice;
            srcLen = rec.raw[2] > static_cast<int>(bytes.size()) ? static_cast<int>(bytes.size()) : rec.raw[2];
            fillCurLen = rec.raw[3];
        }
        unsigned char done = 0;
        ret = rebuild_.FillMsgBody(rec.tail.flag, fillOffset, destMax, bytes.data(), srcLen, fillCurLen, &done);
        if (ret == OS_MSG_OK && done == 1) {
            if (buf == nullptr) {
                __builtin_trap(); // completed a message the first step did not hand out
            }
            Deliver(rec, buf, bufLen);
        }
    }

    void CheckTotals() {
        int64_t sum = 0;
        for (RebuildList *node : rebuild_.rebuildNodes) {
            if (node == nullptr || node->buf == nullptr || node->totalLen > node->dataLen ||
                node->dataLen > OS_MSG_MAX_DATA_LEN || rebuild_.GetRebuildNode(node->flag) != node) {
                __builtin_trap();
            }
            sum += node->dataLen;
        }
        if (rebuild_.memoryTotal - bias_ != sum ||
            rebuild_.nodeTotal != static_cast<int32_t>(rebuild_.rebuildNodes.size())) {
            __builtin_trap();
        }
    }

    MsgRebuildRecvData rebuild_;
    int64_t bias_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    OsLogSetLevel(5);
    MsgSetLogFunc(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in{data, size};
    Loop loop;
    Record rec;
    while (ReadRecord(in, rec)) {
        loop.Handle(rec);
    }
    return 0;
}

#else // SLICE_REBUILD_FUZZ_SEEDS

#include <cstdio>
#include <string>

namespace {

struct SeedWriter {
    std::vector<unsigned char> out;

    void Slice(uint8_t op, uint32_t dataLen, uint64_t flag, uint32_t offset, uint32_t curLen) {
        MsgHead head;
        memset(&head, 0, sizeof(head));
        strcpy(head.sendProcName, "camera");
        strcpy(head.sendTaskName, "capture");
        strcpy(head.recvProcName, "media");
        strcpy(head.recvTaskName, "encoder");
        head.msgId = 0x100;
        head.dataLen = dataLen;
        MsgSliceTail tail;
        memset(&tail, 0, sizeof(tail));
        tail.isSplit = 1;
        tail.offset = offset;
        tail.curLen = curLen;
        tail.flag = flag;
        out.push_back(op);
        const auto *h = reinterpret_cast<const unsigned char *>(&head);
        out.insert(out.end(), h, h + sizeof(head));
        const auto *t = reinterpret_cast<const unsigned char *>(&tail);
        out.insert(out.end(), t, t + sizeof(tail));
        for (uint32_t i = 0; i < curLen; ++i) {
            out.push_back(static_cast<unsigned char>(offset + i));
        }
    }

    // A whole message of dataLen bytes in slices of step bytes.
    void Message(uint8_t op, uint32_t dataLen, uint64_t flag, uint32_t step) {
        for (uint32_t off = 0; off < dataLen; off += step) {
            Slice(op, dataLen, flag, off, dataLen - off < step ? dataLen - off : step);
        }
    }

    bool Write(const std::string &path) const {
        FILE *f = fopen(path.c_str(), "wb");
        if (f == nullptr) {
            return false;
        }
        bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
        return fclose(f) == 0 && ok;
    }
};

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    SeedWriter oneStep;
    oneStep.Message(0, 300, 1, 100);
    SeedWriter twoStep;
    twoStep.Message(kOpTwoStep, 250, 2, 64);
    SeedWriter interleaved;
    for (uint32_t i = 0; i < 4; ++i) {
        interleaved.Slice(0, 200, 10, i * 50, 50);
        if (i < 3) {
            interleaved.Slice(kOpTwoStep, 120, 11, i * 40, 40);
        }
    }
    SeedWriter disorder;
    disorder.Slice(0, 96, 5, 0, 32);
    disorder.Slice(0, 96, 5, 0, 32);
    disorder.Slice(kOpTwoStep, 96, 6, 0, 48);
    disorder.Slice(kOpTwoStep, 96, 6, 64, 32);
    disorder.Slice(kOpBias100, 64, 7, 0, 64);
    bool ok = oneStep.Write(dir + "/one_step") && twoStep.Write(dir + "/two_step") &&
              interleaved.Write(dir + "/interleaved") && disorder.Write(dir + "/disorder");
    return ok ? 0 : 1;
}

#endif // SLICE_REBUILD_FUZZ_SEEDS
