#include "platform/systemd_notify.h"

#include <sys/socket.h>

#include <cstddef>
#include <cstring>

namespace kestrel {
namespace {

// A path, or an abstract name after "@" (the leading byte becomes NUL); its
// length in the address, or 0 for a name that is neither.
socklen_t address_of(const char* name, sockaddr_un& address) {
  address.sun_family = AF_UNIX;
  const std::size_t length = name == nullptr ? 0 : std::strlen(name);
  if (length == 0 || length >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@')) {
    return 0;
  }
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
}

}  // namespace

SystemdNotify::SystemdNotify(const char* socket) : size_(address_of(socket, address_)) {
  if (size_ > 0) socket_ = Fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

// Addressed anew each time, as sd_notify does: the manager may have made its
// socket anew since.
void SystemdNotify::send(const std::string& message) const {
  if (!socket_.valid()) return;
  ::sendto(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&address_), size_);
}

}  // namespace kestrel
