// Inside the comm platform: a descriptor that poll() sees readable once something has been
// signalled through it, and until that is taken (a non-blocking eventfd). A parker sleeps on one,
// the driver's I/O thread is woken through one, and a backend announces its news through one.
#pragma once

namespace vexora::serial::platform {

// A new wake descriptor, close-on-exec; -1 when the system has none to give.
int AfMakeWakeFd();

// Makes `fd` readable; any thread may call it, any number of times before the next take.
void AfSignalWakeFd(int fd);

// Takes every signal `fd` holds, without waiting: it is no longer readable until the next one.
void AfTakeWakeFd(int fd);

} // namespace vexora::serial::platform
