/*
 * vyre-msg send and call: one message to a task of a process, asynchronous
 * or as a synchronous call whose answer is printed.
 */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "tool_commands.h"
#include "tool_output.h"
#include "vyre_os_msg.h"

namespace vyremsg {

namespace {

/* The payload of --data or --file; false (reported) when the file cannot be
 * read or is too large. */
bool LoadPayload(const Args &args, std::vector<uint8_t> *payload) {
    if (args.hasData) {
        *payload = args.data;
    } else if (!args.file.empty()) {
        FILE *f = fopen(args.file.c_str(), "rb");
        if (f == nullptr) {
            (void)fprintf(stderr, "vyre-msg: cannot open %s\n", args.file.c_str());
            return false;
        }
        uint8_t chunk[65536];
        size_t n;
        while ((n = fread(chunk, 1U, sizeof(chunk), f)) > 0U && payload->size() <= OS_MSG_MAX_DATA_LEN) {
            payload->insert(payload->end(), chunk, chunk + n);
        }
        (void)fclose(f);
    }
    if (payload->size() > OS_MSG_MAX_DATA_LEN) {
        (void)fprintf(stderr, "vyre-msg: a payload may have at most %u bytes\n", OS_MSG_MAX_DATA_LEN);
        return false;
    }
    return true;
}

/* The message of a send or call: words are PROC TASK MSGID. false (reported)
 * for a bad message id or payload. */
bool BuildMessage(const Session &session, const Args &args, std::vector<uint8_t> *payload, MsgHead *head) {
    uint32_t msgId = 0U;
    if (!ParseNumber(args.words[2], &msgId)) {
        (void)fprintf(stderr, "vyre-msg: %s is no message id (a number, decimal or 0x-hex)\n", args.words[2].c_str());
        return false;
    }
    if (!LoadPayload(args, payload)) {
        return false;
    }
    (void)memset(head, 0, sizeof(*head));
    (void)snprintf(head->sendProcName, sizeof(head->sendProcName), "%s", session.Name().c_str());
    (void)snprintf(head->recvProcName, sizeof(head->recvProcName), "%s", args.words[0].c_str());
    (void)snprintf(head->recvTaskName, sizeof(head->recvTaskName), "%s", args.words[1].c_str());
    head->msgId = msgId;
    head->data = payload->empty() ? nullptr : payload->data();
    head->dataLen = static_cast<uint32_t>(payload->size());
    return true;
}

std::string Target(const Args &args) {
    return args.words[0] + "/" + args.words[1];
}

} // namespace

int CmdSend(Session &session, const Args &args) {
    std::vector<uint8_t> payload;
    MsgHead head;
    if (!BuildMessage(session, args, &payload, &head)) {
        return kExitUsage;
    }
    const uint32_t msgId = head.msgId;
    uint32_t ret = OsMsgAsynSend(&head);
    if (args.json) {
        Json json;
        json.Open().Key("to").Str(Target(args)).Key("msgId").Num(msgId).Key("dataLen").Num(payload.size());
        json.Key("code").Num(ret).Key("result").Str(OsMsgStrError(ret)).Close();
        (void)Print(json.Text() + "\n");
    }
    if (ret != OS_MSG_OK) {
        return Fail("send to " + Target(args), ret);
    }
    if (!args.json) {
        char line[128];
        (void)snprintf(line, sizeof(line), "sent to %s: message 0x%x, %zu bytes\n", Target(args).c_str(), msgId,
                       payload.size());
        (void)Print(line);
    }
    return kExitOk;
}

int CmdCall(Session &session, const Args &args) {
    std::vector<uint8_t> payload;
    MsgHead head;
    if (!BuildMessage(session, args, &payload, &head)) {
        return kExitUsage;
    }
    MsgHead *resp = nullptr;
    uint32_t ret = OsMsgSynSend(&head, &resp, args.hasTimeout ? args.timeoutMs : kCallTimeoutMs);
    if (ret != OS_MSG_OK) {
        if (args.json) {
            Json json;
            json.Open().Key("to").Str(Target(args)).Key("code").Num(ret).Key("result").Str(OsMsgStrError(ret)).Close();
            (void)Print(json.Text() + "\n");
        }
        return Fail("call to " + Target(args), ret);
    }
    const uint8_t *data = static_cast<const uint8_t *>(resp->data);
    std::vector<uint8_t> answer(data, data + (data != nullptr ? resp->dataLen : 0U));
    (void)OsMsgSynRespFree(resp);
    bool printed;
    if (args.raw) {
        printed = fwrite(answer.data(), 1U, answer.size(), stdout) == answer.size() && fflush(stdout) == 0;
    } else if (args.json) {
        Json json;
        json.Open().Key("to").Str(Target(args)).Key("code").Num(ret).Key("result").Str(OsMsgStrError(ret));
        json.Key("dataLen").Num(answer.size()).Key("data").Str(Hex(answer.data(), answer.size())).Close();
        printed = Print(json.Text() + "\n");
    } else {
        printed = Print("answer from " + Target(args) + ": " + std::to_string(answer.size()) + " bytes\n" +
                        HexDump(answer.data(), answer.size()));
    }
    return printed ? kExitOk : kExitFailed;
}

} // namespace vyremsg
