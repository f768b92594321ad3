#pragma once

#include <sys/un.h>

#include <string>

#include "platform/fd.h"

namespace kestrel {

// Messages to the service manager through the socket it names in
// NOTIFY_SOCKET (sd_notify(3)'s protocol: one datagram of NAME=VALUE lines).
// Without that socket (not run by systemd) there is nobody to tell, and
// nothing is sent. Sending never waits and a failure is not reported: the
// status is a courtesy, and must not stop the run.
class SystemdNotify {
 public:
  // `socket`: the value of NOTIFY_SOCKET, or nothing.
  explicit SystemdNotify(const char* socket);
  bool active() const { return socket_.valid(); }
  void send(const std::string& message) const;

 private:
  sockaddr_un address_{};
  socklen_t size_;
  Fd socket_;
};

}  // namespace kestrel
