/* Compiled as strict C99: the public header must need nothing else, and the
 * library must link from a C program. Exits 0 when the record layout seen
 * from C matches the documented one and the loaded library's version is the
 * header's and the build's (VYRE_BUILD_VERSION, "major.minor.patch"). */
#include "vyre_os_msg.h"

#include <stdio.h>
#include <string.h>

static int VersionMatches(void) {
    uint32_t version = OsMsgGetVersion();
    char text[32];

    sprintf(text, "%u.%u.%u", (unsigned)(version >> 16), (unsigned)((version >> 8) & 0xFFU),
            (unsigned)(version & 0xFFU));
    if (version != VYRE_OS_MSG_VERSION || version >> 16 != VYRE_OS_MSG_VERSION_MAJOR ||
        ((version >> 8) & 0xFFU) != VYRE_OS_MSG_VERSION_MINOR || (version & 0xFFU) != VYRE_OS_MSG_VERSION_PATCH ||
        strcmp(text, VYRE_BUILD_VERSION) != 0) {
        fprintf(stderr, "library version %s (0x%06x), header 0x%06x, build %s\n", text, (unsigned)version,
                (unsigned)VYRE_OS_MSG_VERSION, VYRE_BUILD_VERSION);
        return 0;
    }
    return 1;
}

int main(void) {
    MsgHead head = {0};
    MsgSubEntry sub = {0};
    MsgBroEntry bro = {0};
    OsMsgTaskStats stats = {0};

    head.msgId = MSG_ID_SUBSCRIBE;
    head.dataLen = OS_MSG_MAX_DATA_LEN;
    OsMsgSetLogLevel(OS_MSG_LOG_FATAL);
    OsMsgRegLogFunc(NULL);

    if (sizeof(head) != 168 || sizeof(sub) != 56 || sizeof(bro) != 32 || offsetof(MsgHead, data) != 160 ||
        head.dataLen != 0x3FFF58U || OS_MSG_ERR_NO_MEMORY != 0x80020020U || sizeof(stats) != 56 ||
        OsMsgGetTaskStats("t", &stats) != OS_MSG_ERR_NOT_INIT) {
        fprintf(stderr, "public header layout mismatch\n");
        return 1;
    }
    return VersionMatches() ? 0 : 1;
}
