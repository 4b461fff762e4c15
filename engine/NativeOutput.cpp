#include "engine/NativeOutput.h"

#include <cerrno>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#define NATIVE_WRITE _write
#else
#include <unistd.h>
#define NATIVE_WRITE ::write
#endif

namespace pyv {

void writeNativeLine(const char* line, std::size_t length) noexcept {
    // Text that others left in the C stream's buffer goes out first, keeping the order.
    std::fflush(stdout);
    const int fd = fileno(stdout);
    while (length > 0) {
        const auto written = NATIVE_WRITE(fd, line, static_cast<unsigned int>(length));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        line += written;
        length -= static_cast<std::size_t>(written);
    }
}

}  // namespace pyv
