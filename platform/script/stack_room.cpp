#include "script/stack_room.h"

#include <pthread.h>

namespace mv::script {

uintptr_t ReadStackFloor() {
    uintptr_t floor = 1;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0 && low)
            floor = reinterpret_cast<uintptr_t>(low) + kStackMargin;
        pthread_attr_destroy(&attr);
    }
    return t_stackFloor = floor;
}

}  // namespace mv::script
