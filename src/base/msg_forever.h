/*
 * MsgForever<T>: a process-wide object that is built on first use of its
 * storage (at static initialisation) and never destroyed.
 *
 * A process may leave without tearing the library down: return from main,
 * exit() from a task callback. Static destructors then run while library
 * threads still wait on the library's condition variables and locks, and
 * destroying a condition variable that a thread waits on blocks for good.
 * Objects that library threads use therefore live in MsgForever, whose
 * destructor does nothing: the storage outlives every thread, and the
 * kernel reclaims it with the process.
 *
 * Thread safety: construction happens during static initialisation, before
 * any library thread exists; afterwards the object's own rules apply.
 */
#ifndef VYRE_MSG_FOREVER_H
#define VYRE_MSG_FOREVER_H

#include <new>
#include <utility>

template <typename T> class MsgForever {
public:
    template <typename... Args> explicit MsgForever(Args &&...args) { new (storage_) T(std::forward<Args>(args)...); }
    MsgForever(const MsgForever &) = delete;
    MsgForever &operator=(const MsgForever &) = delete;

    T &operator*() { return *Get(); }
    T *operator->() { return Get(); }
    T *Get() { return std::launder(reinterpret_cast<T *>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

#endif /* VYRE_MSG_FOREVER_H */
