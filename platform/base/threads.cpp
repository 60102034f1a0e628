// Signal blocking around the creation of library threads.
#include <pthread.h>
#include <signal.h>

#include <cstring>

#include "platform/base/base.h"

ScopedSignalBlock::ScopedSignalBlock() {
    static_assert(sizeof(sigset_t) <= sizeof saved_, "saved_ must hold a sigset_t");
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    memcpy(saved_, &old, sizeof old);  // saved_ is not aligned for sigset_t
}

ScopedSignalBlock::~ScopedSignalBlock() {
    sigset_t old;
    memcpy(&old, saved_, sizeof old);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}
