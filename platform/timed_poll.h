#pragma once

#include <poll.h>
#include <signal.h>
#include <time.h>

namespace kestrel {

// ppoll(2) with a timeout in this build's own timespec. Where time_t has 64
// bits on a 32-bit system (the armhf build's _TIME_BITS=64), glibc 2.36's
// fortified ppoll (bits/poll2.h, under _FORTIFY_SOURCE) calls the entry point
// of the 32-bit time_t: the kernel then reads the upper half of the seconds
// as the nanoseconds, every wait of less than a second ends at once, and a
// waiting program spins. There the kernel's ppoll for 64-bit times is called
// directly; elsewhere glibc's ppoll.
int timed_poll(pollfd* descriptors, nfds_t count, const timespec* timeout, const sigset_t* mask);

}  // namespace kestrel
