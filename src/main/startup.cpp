#include "main/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "status/output.h"

namespace kestravo {

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is fd itself when the
    // lower ones are open; dup2 covers the other case.
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) continue;  // nothing better to do: writes will fail quietly
    if (null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  take_standard_streams();
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace kestravo
