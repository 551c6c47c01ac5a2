// TForm1, the Debug page's test mail: sent on a background task to the
// listener's own address and port, the result handed back on the window
// thread. A failure other than an error reply reaches the error line.
#include "UMain.h"

namespace quibo {

void TForm1::SendTestMail(TTestMail mail, std::function<void(const TTestMailResult&)> done) {
  const std::string host = BindAddress == "0.0.0.0" ? "127.0.0.1" : BindAddress;
  const int port = Listener.Active() ? Listener.BoundPort() : BindPort;
  const int timeout = Settings()->ForwardTimeout;
  TestMail.Start([mail = std::move(mail), host, port, timeout, done = std::move(done), this](TCancellation& cancel) {
    const TTestMailResult result = quibo::SendTestMail(mail, host, port, timeout, cancel);
    return std::function<void()>([this, done, result] {
      if (!result.Failure.empty()) ReportError(result.Failure);
      done(result);
    });
  });
}

} // namespace quibo
