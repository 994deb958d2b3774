/* Compiled as strict C99: the public header must need nothing else, and the
 * library must link from a C program. Exits 0 when the record layout seen
 * from C matches the documented one. */
#include "vyre_os_msg.h"

#include <stdio.h>

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
    return 0;
}
