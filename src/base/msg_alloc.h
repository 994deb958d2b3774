/*
 * Tracked allocation for library records and payload copies. Every block is
 * tagged with memory type 0, the calling module's name and the source line,
 * so a leak report names its origin. Each source file defines MSG_MODULE (a
 * string literal naming its module) before using these macros.
 */
#ifndef VYRE_MSG_ALLOC_H
#define VYRE_MSG_ALLOC_H

#include "vyre_os_mem.h"

#define MSG_MALLOC(size) OSMemTypeMallocMon((size), 0U, 0U, (uint32_t)__LINE__, MSG_MODULE)
#define MSG_CALLOC(count, size) OSMemCallocMon((count), (size), 0U, 0U, (uint32_t)__LINE__, MSG_MODULE)
#define MSG_FREE(block) OSMemTypeFreeMon((block), 0U, 0U, (uint32_t)__LINE__, MSG_MODULE)

#endif /* VYRE_MSG_ALLOC_H */
