// Loaded with LD_PRELOAD into the service by the end-to-end tests: shifts
// the wall clock (CLOCK_REALTIME, gettimeofday, time) by the whole seconds
// written in the file named by ZELSMS_CLOCK_SHIFT_FILE, read again at every
// call so a test can step the clock of a running service. Every other clock,
// the boot clock and the monotonic clock among them, is left as it is.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

long shiftSeconds()
{
    const char *path = getenv("ZELSMS_CLOCK_SHIFT_FILE");
    if (!path)
        return 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[32] = {};
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    return n > 0 ? strtol(buf, nullptr, 10) : 0;
}

using ClockGettime = int (*)(clockid_t, struct timespec *);
using Gettimeofday = int (*)(struct timeval *, void *);

} // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec *ts)
{
    static const auto real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int rc = real(id, ts);
    if (rc == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
        ts->tv_sec += shiftSeconds();
    return rc;
}

extern "C" int gettimeofday(struct timeval *tv, void *tz)
{
    static const auto real = reinterpret_cast<Gettimeofday>(dlsym(RTLD_NEXT, "gettimeofday"));
    const int rc = real(tv, tz);
    if (rc == 0)
        tv->tv_sec += shiftSeconds();
    return rc;
}

extern "C" time_t time(time_t *out)
{
    struct timespec ts = {};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (out)
        *out = ts.tv_sec;
    return ts.tv_sec;
}
