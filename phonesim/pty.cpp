#include "phonesim/pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace phonesim {

bool Pty::open(std::string& err) {
    close();
    int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m < 0) {
        err = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
        err = std::string("pty setup: ") + std::strerror(errno);
        ::close(m);
        return false;
    }
    int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (s < 0) {
        err = std::string("open ") + name + ": " + std::strerror(errno);
        ::close(m);
        return false;
    }
    // Raw before anything flows: cooked mode would echo requests back and turn CR into LF.
    termios t{};
    if (::tcgetattr(s, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetispeed(&t, B115200);
        ::cfsetospeed(&t, B115200);
        ::tcsetattr(s, TCSANOW, &t);
    }
    master_ = m;
    slave_ = s;
    path_ = name;
    return true;
}

void Pty::close() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
    path_.clear();
}

int Pty::unread_by_host() const {
    int n = 0;
    if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &n) != 0) return 0;
    return n;
}

} // namespace phonesim
