/*
 * Counting semaphores over POSIX unnamed semaphores, private to the process.
 *
 * Stateless wrappers; post and wait may be called from any thread. Results
 * are error numbers taken from errno, as the semaphore calls report them
 * there rather than in their return value.
 */
#include "vyre_os_sem.h"

#include <errno.h>

extern "C" {

int32_t OsSemInit(OsSem *sem, uint32_t value) {
    return sem_init(sem, 0, value) == 0 ? 0 : errno;
}

int32_t OsSemWait(OsSem *sem) {
    while (sem_wait(sem) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

int32_t OsSemPost(OsSem *sem) {
    return sem_post(sem) == 0 ? 0 : errno;
}

int32_t OsSemDestroy(OsSem *sem) {
    return sem_destroy(sem) == 0 ? 0 : errno;
}

} // extern "C"
