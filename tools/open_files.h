// Every connection of a server, or of a fleet of units, holds one file descriptor: the soft
// limit of open files (often 1024) is raised to the hard limit before the first one is opened.
// Header-only, for the receiver and the fleet alike.
#ifndef VANDRY_OPEN_FILES_H
#define VANDRY_OPEN_FILES_H

#include <string>

#ifndef _WIN32
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#endif

namespace vandry_limits {

struct OpenFileLimit {
    unsigned long long limit = 0; // the soft limit now in force; 0 where there is none (Windows)
    std::string error;            // why it could not be raised, if it could not
};

inline OpenFileLimit raise_open_file_limit() {
    OpenFileLimit result;
#ifndef _WIN32
    rlimit limits{};
    if (getrlimit(RLIMIT_NOFILE, &limits) != 0) {
        result.error = std::string("getrlimit: ") + std::strerror(errno);
        return result;
    }
    if (limits.rlim_cur != limits.rlim_max) {
        rlimit raised = limits;
        raised.rlim_cur = limits.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limits = raised;
        else
            result.error = std::string("setrlimit: ") + std::strerror(errno);
    }
    result.limit = static_cast<unsigned long long>(limits.rlim_cur);
#endif
    return result;
}

} // namespace vandry_limits

#endif
