#include <zel/base/unique_fd.h>

#include <unistd.h>

namespace zel::base {

void uniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd)
        ::close(fd_);
    fd_ = fd;
}

} // namespace zel::base
