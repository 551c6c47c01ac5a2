#include "UWriteAll.h"

#include <sys/socket.h>
#include <unistd.h>

namespace quibo {

int WriteAll(int descriptor, std::string_view bytes) {
  return WriteAllWith(bytes, [descriptor](const char* data, size_t size) { return ::write(descriptor, data, size); });
}

int SendAll(int socket, std::string_view bytes) {
  return WriteAllWith(bytes,
                      [socket](const char* data, size_t size) { return ::send(socket, data, size, MSG_NOSIGNAL); });
}

} // namespace quibo
