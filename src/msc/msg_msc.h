/*
 * The multi-CPU channel (MSC) layer as this library sees it: conversion of
 * the header's mscBlock word between local and channel numbering, the
 * board-support names, the default channel type, and the entry points
 * through which a separate channel implementation attaches.
 *
 * mscBlock: bits 0-3 memory type, bits 4-6 channel type, bits 7-31 carried
 * unchanged by every conversion. Channel types are 0-2 on both sides. Memory
 * types, local -> channel: 1 -> 2, 7 -> 1, others -> 0; channel -> local:
 * 1 -> 7, 2 -> 1, others -> 0.
 *
 * The channel itself is absent on this platform: initialisation and the HIDL
 * entry points succeed without doing anything, and the status operations
 * only call the hooks an outside implementation installs.
 *
 * Thread safety: the conversions work on the caller's header or word only.
 * The hook pointers are written by outside code at any time; the library
 * reads each with an atomic load at every call.
 */
#ifndef VYRE_MSG_MSC_H
#define VYRE_MSG_MSC_H

#include <stdint.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Channel type stamped into cross-CPU subscription requests. */
#define MSG_MSC_DEFAULT_CHAN_TYPE 2U
/* Highest valid channel type. */
#define MSG_MSC_MAX_CHAN_TYPE 2U

/* Local memory types and their channel numbering. */
#define MSG_OS_MEM_TYPE_VIR2PHY 1U
#define MSG_OS_MEM_TYPE_SHARED 7U
#define MSG_MSC_MEM_TYPE_SHARED 1U
#define MSG_MSC_MEM_TYPE_VIR2PHY 2U

/* Hook signatures; the meaning of the argument belongs to the channel
 * implementation. */
typedef uint32_t (*MsgMscGetSyncStatusFunc)(void *arg);
typedef uint32_t (*MsgMscSetSyncStatusCbFunc)(void *callback);

/* Installed by a channel implementation; NULL (the initial value) means none. */
extern OS_MSG_API MsgMscGetSyncStatusFunc g_pfnMscGetSyncStatus;
extern OS_MSG_API MsgMscSetSyncStatusCbFunc g_pfnMscSetSyncStatusCb;

/* Attach and detach the channel for the process; 0, nothing else. */
OS_MSG_API uint32_t MsgMscInit(const char *procName);
OS_MSG_API uint32_t MsgMscUninit(const char *procName);
/* Prepares the HIDL hook; 0, nothing else. */
OS_MSG_API uint32_t MsgMscInitHidl(void);
/* Sends through the channel; 0, nothing is sent on this platform. */
OS_MSG_API uint32_t MsgAdpMscSendMsg(void *arg);
/* Logs ERROR "register procname[<name>]."; 0. */
OS_MSG_API uint32_t MsgAdpMscRegHidlCallback(const char *procName);
/* The default channel type: 2. */
OS_MSG_API uint32_t MsgMscGetDefaultChanType(void);

/* Channel type conversions (the numbering is the same on both sides). 0 and
 * the type in *out; 0x80020001 with an ERROR line for a type above 2 or a
 * NULL out (*out untouched). */
OS_MSG_API uint32_t MsgChanTypeOs2Msc(uint8_t chanType, uint8_t *out);
OS_MSG_API uint32_t MsgChanTypeMsc2Os(uint8_t chanType, uint8_t *out);
/* Memory type conversions per the table above. 0 and the type in *out;
 * 0x80020001 without a log for a NULL out. */
OS_MSG_API uint32_t MsgMemTypeOs2Msc(uint8_t memType, uint8_t *out);
OS_MSG_API uint32_t MsgMemTypeMsc2Os(uint8_t memType, uint8_t *out);

/* Converts head->mscBlock to channel numbering before a cross-CPU send.
 * A channel payload (channel memory type 1 or 2) cannot travel inline: when
 * the header has both data and dataLen it logs WARN and clears both (the
 * caller still owns the payload). 0 on success; 0x80020001 for an invalid
 * channel type (header unchanged) or a NULL head; 0x80020011 for channel
 * memory type 2, which needs a translation this library does not provide
 * (the header keeps the converted block and the cleared payload). */
OS_MSG_API uint32_t MsgSetSendMscBlock(MsgHead *head);
/* Converts a received mscBlock word to local numbering. 0 on success;
 * 0x80020011 for channel memory type 2 and 0x80020001 for an invalid channel
 * type or a NULL block, each with the word unchanged. */
OS_MSG_API uint32_t MsgSetRecvMscBlock(uint32_t *block);

/* The board-support task and process names: 16-byte fields, empty on this
 * platform, never written. */
OS_MSG_API const char *MsgGetBspTaskName(void);
OS_MSG_API const char *MsgGetBspProcName(void);

/* Hands callback to the installed g_pfnMscSetSyncStatusCb. Without a hook:
 * ERROR line, 0. A non-zero hook result is logged and returned. */
OS_MSG_API uint32_t MsgMscSetSyncStatusCallBack(void *callback);
/* Returns g_pfnMscGetSyncStatus(arg). Without a hook: ERROR line, 0. */
OS_MSG_API uint32_t MsgMscGetSyncStatus(void *arg);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_MSC_H */
