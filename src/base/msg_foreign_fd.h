/*
 * Closing descriptors that other processes sent. The close of a file's last
 * reference can wait: a socket that lingers over data its peer does not
 * take, a file whose file-system daemon does not answer. A thread that
 * must never wait (the carrier's receive thread, which every message from
 * other processes comes through) names a closer for itself, and its closes
 * of such descriptors go there instead.
 *
 * Thread safety: the closer is the calling thread's own.
 */
#ifndef VYRE_MSG_FOREIGN_FD_H
#define VYRE_MSG_FOREIGN_FD_H

/* Takes a descriptor to close; must not wait. */
typedef void (*MsgForeignFdCloser)(int fd);

/* Makes closer (NULL: none) the calling thread's closer. */
void MsgForeignFdCloseBy(MsgForeignFdCloser closer);

/* Closes fd (ignored when negative): by the calling thread's closer when it
 * has one, else at once. */
void MsgForeignFdClose(int fd);

#endif /* VYRE_MSG_FOREIGN_FD_H */
