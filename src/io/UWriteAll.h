// WriteAll: writes every byte of a buffer through a call that may take only
// part of it, resuming after interruptions. The one write loop of the
// program: files, pipes, sockets (SendAll) and TLS streams use it. Any
// thread. Returns 0, or the error number of the failed write (ENOSPC when a
// write took nothing).
#pragma once

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <sys/types.h>

namespace quibo {

// writeSome(data, size) returns the bytes it took (> 0), 0, or -1 with errno set.
template <typename TWriteSome> int WriteAllWith(std::string_view bytes, TWriteSome&& writeSome) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = writeSome(bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return errno != 0 ? errno : EIO;
    if (wrote == 0) return ENOSPC;
    done += static_cast<size_t>(wrote);
  }
  return 0;
}

// To a file or a pipe.
int WriteAll(int descriptor, std::string_view bytes);
// To a socket, without SIGPIPE when the peer is gone.
int SendAll(int socket, std::string_view bytes);

} // namespace quibo
