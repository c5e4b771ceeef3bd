#include "childprocess.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

void ChildProcess::setupChildProcess()
{
    // Between fork and exec, in the child.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        raise(SIGTERM); // the parent was gone before the request took hold
}
