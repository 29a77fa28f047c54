#include "app/OpenFileLimit.h"

#ifdef Q_OS_UNIX
#include <algorithm>
#include <sys/resource.h>
#endif

namespace vanterel::app {

qint64 RaiseOpenFileLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    // RLIM_INFINITY is the largest rlim_t, so the cap covers it too.
    const rlim_t wanted = std::min(limit.rlim_max, rlim_t(OpenFilesWanted));
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : qint64(limit.rlim_cur);
#else
    // Windows has no such per-process limit on sockets.
    return -1;
#endif
}

} // namespace vanterel::app
