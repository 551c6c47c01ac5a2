#include "UTestMail.h"

#include "UFunctions.h"
#include "USmtpClient.h"

namespace quibo {

std::vector<std::string> TestMailRecipients(const std::string& field) {
  std::vector<std::string> recipients;
  std::string current;
  for (const char c : field + ",") {
    if (c == ',' || c == ';' || c == ' ' || c == '\t') {
      if (!current.empty()) recipients.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return recipients;
}

std::string TestMailData(const TTestMail& mail) {
  // The fields are the operator's one-line texts: a line break in them would start a header of its own.
  const std::string sender = PrintableText(mail.Sender);
  std::string data = "From: " + sender + "\r\nSender: " + sender +
                     "\r\nTo: " + PrintableText(JoinText(TestMailRecipients(mail.Recipients), ", ")) +
                     "\r\nSubject: " + PrintableText(mail.Subject) + "\r\n\r\n";
  for (const auto& line : mail.Lines)
    data += (line.rfind('.', 0) == 0 ? "." : "") + line + "\r\n";
  return data;
}

TTestMailResult SendTestMail(const TTestMail& mail, const std::string& host, int port, int timeoutSeconds,
                             TCancellation& cancel) {
  TTestMailResult result;
  TSmtpClient client(timeoutSeconds);
  if (!cancel.Enter([&client] { client.Disconnect(); })) {
    result.Failure = "Cancelled";
    return result;
  }
  try {
    client.Connect(host, port);
    client.ReadReply({220});
    client.Command("EHLO localhost", {250});
    client.Command("MAIL FROM:<" + PrintableText(mail.Sender) + ">", {250});
    for (const auto& recipient : TestMailRecipients(mail.Recipients))
      client.Command("RCPT TO:<" + PrintableText(recipient) + ">", {250, 251});
    client.Command("DATA", {354});
    client.SendRaw(TestMailData(mail) + ".\r\n");
    client.ReadReply({250});
    client.Quit();
    result.Sent = true;
  } catch (const TSmtpReplyError& error) {
    result.ErrorReply = PrintableText(error.Received.Text()) + " Quibo heard: " + std::to_string(error.Received.Code);
  } catch (const std::exception& error) {
    result.Failure = PrintableText(error.what());
  }
  cancel.Leave();
  return result;
}

} // namespace quibo
