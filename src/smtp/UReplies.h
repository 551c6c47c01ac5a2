// UReplies: the one catalogue of the replies the filter gives its clients
// (the session's built-in replies and the "Quibo dederazu says:" refusals of
// the policy, the checks, the relay and the listener), each a named entry of
// code and text, and the one writer that turns a verdict into wire bytes.
// Used by the session, the policy, the pipeline and the listener; plain
// values and pure functions, any thread; nothing here fails.
#pragma once

#include "UVerdict.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace quibo {

// One catalogue entry: "%s" in the text stands for the next argument.
struct TReplyText {
  int Code;
  std::string_view Text;
  bool Close = false; // the connection ends after this reply
};

namespace Replies {
// The session's own replies.
inline constexpr TReplyText Greeting{220, "%s"};
inline constexpr TReplyText AboutReply{200, "Quibo version %s"};
inline constexpr TReplyText UnknownCommand{500, "Syntax Error"};
inline constexpr TReplyText NoopReply{250, "Ok"}; // also RSET's
inline constexpr TReplyText QuitReply{221, "Signing Off", true};
inline constexpr TReplyText ErrorReply{500, "Syntax Error - Command not understood: %s"};
inline constexpr TReplyText SequenceError{503, "Polite people say Helo first"};
inline constexpr TReplyText HelloReply{250, "Hello %s"};
inline constexpr TReplyText NoHello{501, "Polite people say HELO"};
inline constexpr TReplyText ParameterSyntaxError{501, "Syntax Error in parameters or arguments"};
inline constexpr TReplyText MailParameterError{501, "Parameter error! Example: mail from:<someone@example.com>"};
inline constexpr TReplyText RcptParameterError{501, "Command parameter error! Example: rcpt to:<someone@example.com>"};
inline constexpr TReplyText ParameterNotTaken{555, "MAIL FROM/RCPT TO parameters not recognized or not implemented"};
inline constexpr TReplyText AuthPrompt{334, "%s"};
inline constexpr TReplyText AuthUnrecognized{504, "Unrecognized authentication type"};
inline constexpr TReplyText AuthFailed{535, "Authentication Failed"};
inline constexpr TReplyText AuthWelcome{235, "welcome %s"};
inline constexpr TReplyText TlsReady{220, "Ready to start TLS"};
inline constexpr TReplyText TlsAlreadyActive{503, "TLS already active"};
inline constexpr TReplyText AddressOkReply{250, "%s Address Okay"};
inline constexpr TReplyText AddressErrorReply{500, "%s Address Error"};
inline constexpr TReplyText StartDataReply{354, "Start mail input; end with <CRLF>.<CRLF>"};
inline constexpr TReplyText EndDataReply{250, "Ok"};

// The multi-line EHLO reply: the first line, the offered extensions, the last line.
inline constexpr std::string_view EhloFirstLine = "corvantix";
inline constexpr std::string_view EhloLastLine = "HELP";

// Refusals.
inline constexpr TReplyText TooManyRecipients{452, "Quibo dederazu says: Too many recipients"};
inline constexpr TReplyText InsufficientStorage{452, "Quibo dederazu says: Insufficient system storage", true};
inline constexpr TReplyText LineTooLong{500, "Quibo dederazu says: Line too long", true};
inline constexpr TReplyText MessageLineTooLong{552, "Quibo dederazu says: Message has a line longer than %s bytes"};
inline constexpr TReplyText MessageTooLarge{552,
                                            "Quibo dederazu says: Message size exceeds fixed maximum message size"};
inline constexpr TReplyText TooManyConnectionsFromAddress{
    421, "Quibo dederazu says: Too many connections from your address", true};
inline constexpr TReplyText OutOfResources{421, "Quibo dederazu says: Out of resources, try again later", true};
inline constexpr TReplyText InternationalAddress{553, "Quibo dederazu says: Address not ASCII, SMTPUTF8 needed"};
inline constexpr TReplyText NextHopNotInternational{
    553, "Quibo dederazu says: Recipient server does not support international addresses", true};
inline constexpr TReplyText BlacklistedHost{521, "Quibo dederazu says: %s", true};
inline constexpr TReplyText NotLocalAddress{550, "Quibo dederazu says: not local address %s, not a gateway"};
inline constexpr TReplyText VirusFound{541, "Quibo dederazu says: Message cannot be accepted: Virus Found!", true};
inline constexpr TReplyText MessageUnchecked{451, "Quibo dederazu says: Message could not be checked, try again later"};
inline constexpr TReplyText MessageOutOfTime{
    451, "Quibo dederazu says: Message could not be processed in time, try again later"};
inline constexpr TReplyText MessageFailed{451, "Quibo dederazu says: %s"};
// rspamd's actions reject and soft reject, with its text for the sender (or the default after them).
inline constexpr TReplyText RspamdReject{554, "5.7.1 Quibo dederazu says: %s"};
inline constexpr TReplyText RspamdSoftReject{451, "4.7.1 Quibo dederazu says: %s"};
inline constexpr std::string_view RspamdRejectDefault = "Message refused as spam";
inline constexpr std::string_view RspamdSoftRejectDefault = "Try again later";
// A failed relay: the code is the next server's (or 451 without one), the text its reason.
inline constexpr TReplyText RelayFailed{451, "Quibo dederazu says:%s", true};
// A recipient the next server did not take: the code is its own (or 451 without one), the text its reason.
inline constexpr TReplyText RecipientRefused{451, "Quibo dederazu says:%s"};
inline constexpr TReplyText TooManyUnknownRecipients{421, "Quibo dederazu says: Too many unknown recipients", true};

// Why a host is blacklisted: the text of BlacklistedHost, of the log and of the status header.
inline constexpr std::string_view ManuallyBlacklistedReason = "Host (%s) is manually blacklisted";
inline constexpr std::string_view DnsBlacklistedReason = "Host  (%s) is blacklisted on %s";

// The log lines of rspamd's actions: the action, and the reply (reject, soft reject) or what was dropped (discard).
inline constexpr std::string_view RspamdActionLog = "rspamd's action %s: %s";
inline constexpr std::string_view RspamdDiscardLog = "Dropping message from %s to %s";
} // namespace Replies

// A next server's multi-line reply text as one line: the CR LF between its lines becomes one blank.
std::string OneLine(std::string text);
// The text with each "%s" replaced by the next argument (an extra "%s" by nothing).
std::string FormatText(std::string_view text, std::initializer_list<std::string_view> arguments = {});
// A catalogue entry as a verdict.
TVerdict Reply(const TReplyText& entry, std::initializer_list<std::string_view> arguments = {});
// The same with another code (a relay refusal carries the next server's).
TVerdict Reply(int code, const TReplyText& entry, std::initializer_list<std::string_view> arguments = {});
// The EHLO reply offering the extensions given, in their order.
TVerdict EhloReply(const std::vector<std::string>& extensions);

// The standard answers to MAIL and RCPT, and to the end of the data.
inline TVerdict AddressOkay(std::string_view address) { return Reply(Replies::AddressOkReply, {address}); }
inline TVerdict AddressError(std::string_view address) { return Reply(Replies::AddressErrorReply, {address}); }
inline TVerdict EndOfDataOkay() { return Reply(Replies::EndDataReply); }

// The wire bytes of a verdict: one line per line of the reply, "-" after the
// code on all but the last; each line's text made printable. Nothing for a
// verdict without a code.
std::string ReplyBytes(const TVerdict& verdict);

} // namespace quibo
