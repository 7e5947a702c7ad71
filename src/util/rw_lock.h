// A reader-writer lock that lets a waiting writer in before readers that
// come after it: readers of a store take it for the length of a long read
// (a blob, a DOT text), and a writer that must move the store's tables would
// otherwise wait for as long as readers keep overlapping.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <new>

#include "util/internal_error.h"

namespace dagloom {

class RwLock {
public:
    RwLock() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
#if defined(__GLIBC__)
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
#endif
        const int rc = pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
        if (rc == ENOMEM) throw std::bad_alloc();
        if (rc != 0) fail("dagloom-core cannot create a reader-writer lock");
    }
    ~RwLock() { pthread_rwlock_destroy(&lock_); }
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    // Readers never take it twice on one thread: with writers preferred, a
    // second shared lock behind a waiting writer would never be granted.
    void lock_shared() {
        if (pthread_rwlock_rdlock(&lock_) != 0) fail("dagloom-core reader lock failed");
    }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }
    void lock() {
        if (pthread_rwlock_wrlock(&lock_) != 0) fail("dagloom-core writer lock failed");
    }
    void unlock() { pthread_rwlock_unlock(&lock_); }

private:
    pthread_rwlock_t lock_;
};

}  // namespace dagloom
