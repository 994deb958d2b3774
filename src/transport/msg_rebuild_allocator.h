/*
 * A standard-library allocator over the tracked allocator, so that the slice
 * collector's node sequence is counted with the library's other records and
 * its growth fails (std::bad_alloc) when the tracked allocator fails,
 * including under injected failures. Stateless; thread-safe as the tracked
 * allocator is.
 *
 * The class carries default visibility only so that the exported collector
 * may hold a container that uses it; all its members are inline and stay out
 * of the dynamic symbol table.
 */
#ifndef VYRE_MSG_REBUILD_ALLOCATOR_H
#define VYRE_MSG_REBUILD_ALLOCATOR_H

#include <cstddef>
#include <cstdint>
#include <new>

#include "vyre_os_mem.h"
#include "vyre_os_msg.h"

namespace rebuildmsg {

template <class T> class OS_MSG_API TrackedAllocator {
public:
    using value_type = T;

    TrackedAllocator() noexcept = default;
    template <class U> TrackedAllocator(const TrackedAllocator<U> & /*other*/) noexcept {}

    T *allocate(std::size_t count) {
        constexpr std::size_t kElementSize = sizeof(T); // NOLINT(bugprone-sizeof-expression): T may be a pointer
        if (count > SIZE_MAX / kElementSize) {
            throw std::bad_alloc();
        }
        void *block = OSMemTypeMallocMon(count * kElementSize, 0U, 0U, static_cast<uint32_t>(__LINE__), "msg_rebuild");
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T *>(block);
    }

    void deallocate(T *block, std::size_t /*count*/) noexcept {
        OSMemTypeFreeMon(block, 0U, 0U, static_cast<uint32_t>(__LINE__), "msg_rebuild");
    }

    template <class U> bool operator==(const TrackedAllocator<U> & /*other*/) const noexcept { return true; }
    template <class U> bool operator!=(const TrackedAllocator<U> & /*other*/) const noexcept { return false; }
};

} // namespace rebuildmsg

#endif // VYRE_MSG_REBUILD_ALLOCATOR_H
