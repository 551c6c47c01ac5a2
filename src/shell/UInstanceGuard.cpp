#include "UInstanceGuard.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quibo {
namespace {

const char kShowRequest[] = "show\n";

bool FillAddress(const std::filesystem::path& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

} // namespace

TInstanceGuard::TInstanceGuard(std::filesystem::path folder, const std::string& programName)
    : LockPath(folder / (programName + ".lock")), SocketPath(folder / (programName + ".sock")) {}

TInstanceGuard::~TInstanceGuard() {
  StopListening();
  if (LockFile >= 0) ::close(LockFile); // releases the lock
}

void TInstanceGuard::StopListening() {
  if (ShowThread.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const auto wrote = ::write(WakeEvent, &one, sizeof one);
    ShowThread.join();
  }
  if (Listener >= 0) {
    ::close(Listener);
    ::unlink(SocketPath.c_str());
  }
  if (WakeEvent >= 0) ::close(WakeEvent);
  Listener = WakeEvent = -1;
}

bool TInstanceGuard::Acquire() {
  LockFile = ::open(LockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (LockFile < 0) return false;
  if (::flock(LockFile, LOCK_EX | LOCK_NB) == 0) return true;
  ::close(LockFile);
  LockFile = -1;
  return false;
}

bool TInstanceGuard::SendShow() const {
  sockaddr_un address;
  if (!FillAddress(SocketPath, address)) return false;
  const int peer = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (peer < 0) return false;
  const bool sent = ::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::send(peer, kShowRequest, sizeof kShowRequest - 1, MSG_NOSIGNAL) > 0;
  ::close(peer);
  return sent;
}

std::string TInstanceGuard::ListenForShow(std::function<void()> onShow) {
  sockaddr_un address;
  if (!FillAddress(SocketPath, address)) return "socket path too long: " + SocketPath.string();
  ::unlink(SocketPath.c_str()); // left over from an instance that died; we hold the lock
  Listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Listener < 0 || ::bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(Listener, 4) != 0)
    return std::strerror(errno);
  WakeEvent = ::eventfd(0, EFD_CLOEXEC);
  ShowThread = std::thread([this, onShow = std::move(onShow)] {
    pollfd waits[2] = {{Listener, POLLIN, 0}, {WakeEvent, POLLIN, 0}};
    while (::poll(waits, 2, -1) >= 0 || errno == EINTR) {
      if (waits[1].revents) return;
      if (!(waits[0].revents & POLLIN)) continue;
      const int peer = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (peer < 0) continue;
      char request[16] = {};
      pollfd readable{peer, POLLIN, 0};
      if (::poll(&readable, 1, 1000) > 0 && ::recv(peer, request, sizeof request - 1, 0) > 0 &&
          std::strcmp(request, kShowRequest) == 0)
        onShow();
      ::close(peer);
    }
  });
  return {};
}

} // namespace quibo
