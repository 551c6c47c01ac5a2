#include "TMemoryChannel.h"
#include "TTempFolder.h"
#include "UBase64.h"
#include "USmtpSession.h"

#include <optional>

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace quibo;
using namespace quibo::test;
using namespace std::string_literals;

namespace {

// Records what the session asked and answers as the test says.
class TScriptedHooks final : public TSessionHooks {
public:
  bool AcceptMail = true;
  bool AcceptRcpt = true;
  std::optional<TVerdict> RcptVerdict;
  std::optional<TVerdict> CheckVerdict;
  std::optional<TVerdict> PipelineVerdict;
  bool ThrowInMail = false;
  std::vector<std::filesystem::path> CopyTo;
  bool WantFile = true;
  std::filesystem::path TempFolderSeen;
  size_t FilesDuringPipeline = 0;
  // A copy of that name is already in the folder when the session copies.
  std::optional<std::filesystem::path> PlantCopyIn;

  std::vector<std::string> Events;
  std::vector<size_t> RcptGroups; // the size of each group of recipients asked at once
  std::string ReceivedMessage;
  std::vector<std::string> ReceivedRecipients;
  uint64_t CheckedSize = 0;
  bool InEndOfDataDuringCheck = false;
  std::shared_ptr<TThreadController> Record = std::make_shared<TThreadController>(nullptr);

  std::shared_ptr<TThreadController> OnConnect(TSmtpSession&) override {
    Events.push_back("connect");
    return Record;
  }
  void BeforeCommand(TSmtpSession&, const std::string& line) override { Events.push_back("command " + line); }
  TVerdict OnMail(TSmtpSession&, const std::string& address) override {
    Events.push_back("mail " + address);
    if (ThrowInMail) throw std::runtime_error("record gone");
    return AcceptMail ? AddressOkay(address) : AddressError(address);
  }
  std::vector<TVerdict> OnRcpt(TSmtpSession&, const std::vector<std::string>& addresses) override {
    RcptGroups.push_back(addresses.size());
    std::vector<TVerdict> verdicts;
    for (const auto& address : addresses) {
      Events.push_back("rcpt " + address);
      verdicts.push_back(RcptVerdict ? *RcptVerdict : AcceptRcpt ? AddressOkay(address) : AddressError(address));
    }
    return verdicts;
  }
  bool NeedsMessageFile(TSmtpSession&) override { return WantFile; }
  std::optional<TVerdict> CheckMessage(TSmtpSession& session, const std::filesystem::path& file,
                                       const TStoredMessage& message) override {
    Events.push_back("check");
    CheckedSize = message.Size();
    ReceivedMessage = ReadFile(file);
    InEndOfDataDuringCheck = session.Record().InEndOfData;
    return CheckVerdict;
  }
  TVerdict Server1ReceiveRaw(TSmtpSession&, const TStoredMessage& message,
                             const std::vector<std::string>& recipients) override {
    Events.push_back("pipeline");
    FilesDuringPipeline = FilesIn(TempFolderSeen).size();
    ReceivedMessage.assign(message.Size(), '\0');
    ReceivedMessage.resize(message.ReadAt(0, ReceivedMessage.data(), ReceivedMessage.size()));
    ReceivedRecipients = recipients;
    return PipelineVerdict ? *PipelineVerdict : EndOfDataOkay();
  }
  std::vector<std::filesystem::path> LearningCopies(TSmtpSession&) override {
    if (PlantCopyIn)
      for (const auto& file : FilesIn(PlantCopyIn->parent_path() / "temp"))
        WriteFile(*PlantCopyIn / file.filename(), "kept");
    return CopyTo;
  }
  void OnTlsStarted(TSmtpSession& session) override { Events.push_back("tls " + session.Tls()->Protocol); }
  void OnDisconnect(TSmtpSession&) override { Events.push_back("disconnect"); }
};

class SmtpSession : public ::testing::Test {
protected:
  // Runs a whole session over the given client bytes; returns what the server wrote.
  std::string Talk(const std::string& input, TReadStatus atEnd = TReadStatus::Closed) {
    TMemoryChannel channel(input, atEnd);
    channel.TlsInput = TlsInput;
    channel.TlsFails = TlsFails;
    TSessionSetup setup{"Welcome to Quibo Dederazu 1.0.0.1",
                        "1.0.0.1",
                        TempFolder,
                        KeepTempFiles,
                        MaxMessageBytes,
                        MaxRecipients,
                        SpillBytes};
    Hooks.TempFolderSeen = TempFolder;
    TSmtpSession session(channel, Hooks, setup, 42, "127.0.0.1");
    session.Run();
    LastState = session.State();
    LastEndReason = session.EndReason();
    return channel.Output;
  }
  std::vector<std::filesystem::path> TempFiles() const { return FilesIn(Home.path() / "temp"); }

  TTempFolder Home;
  TScriptedHooks Hooks;
  bool KeepTempFiles = false;
  uint64_t MaxMessageBytes = 0;
  size_t MaxRecipients = 0;
  uint64_t SpillBytes = 0;
  std::filesystem::path TempFolder = Home.path() / "temp";
  TSessionState LastState = TSessionState::None;
  std::string LastEndReason;
  std::optional<std::string> TlsInput; // a certificate is loaded; what the client sends inside TLS
  bool TlsFails = false;
};

const std::string kGreeting = "220 Welcome to Quibo Dederazu 1.0.0.1\r\n";
const std::string kEnvelope = "EHLO client\r\nMAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.org>\r\n";
const std::string kEhloOffers = "250-corvantix\r\n250-PIPELINING\r\n250-SIZE 0\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n"
                                "250-AUTH LOGIN\r\n";
const std::string kEhloReplies = kEhloOffers + "250 HELP\r\n";
const std::string kEhloRepliesWithTls = kEhloOffers + "250-STARTTLS\r\n250 HELP\r\n";
const std::string kEnvelopeReplies = kEhloReplies + "250 a@example.com Address Okay\r\n250 b@example.org Address "
                                                    "Okay\r\n";
const std::string kDataStart = "354 Start mail input; end with <CRLF>.<CRLF>\r\n";

} // namespace

TEST_F(SmtpSession, GreetingsAndTheirSequenceRules) {
  EXPECT_EQ(Talk("helo mailer\r\nHELO again\r\n"),
            kGreeting + "250 Hello mailer\r\n503 Polite people say Helo first\r\n");
  EXPECT_EQ(Talk("HELO\r\n"), kGreeting + "501 Syntax Error in parameters or arguments\r\n");
  EXPECT_EQ(Talk("EHLO x\r\nEHLO y\r\n"), kGreeting + kEhloReplies + "503 Polite people say Helo first\r\n");
  EXPECT_EQ(Hooks.Events.front(), "connect");
  EXPECT_EQ(Hooks.Events.back(), "disconnect");
}

TEST_F(SmtpSession, CommandsOutOfOrderAreRefused) {
  EXPECT_EQ(Talk("MAIL FROM:<a@b.c>\r\n"), kGreeting + "501 Polite people say HELO\r\n");
  EXPECT_EQ(Talk("HELO x\r\nRCPT TO:<a@b.c>\r\n"), kGreeting + "250 Hello x\r\n503 Polite people say Helo first\r\n");
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM:<a@b.c>\r\nDATA\r\n"),
            kGreeting + "250 Hello x\r\n250 a@b.c Address Okay\r\n503 Polite people say Helo first\r\n");
  EXPECT_EQ(Talk("DATA\r\n"), kGreeting + "503 Polite people say Helo first\r\n");
}

TEST_F(SmtpSession, MailAndRcptArguments) {
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM: <a@b.c> SIZE=10\r\nmail bob\r\n"),
            kGreeting + "250 Hello x\r\n250 a@b.c Address Okay\r\n"
                        "501 Parameter error! Example: mail from:<someone@example.com>\r\n");
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM:<>\r\nRCPT bob\r\nrcpt to:c@d.e\r\n"),
            kGreeting + "250 Hello x\r\n250  Address Okay\r\n"
                        "501 Command parameter error! Example: rcpt to:<someone@example.com>\r\n"
                        "250 c@d.e Address Okay\r\n");
  EXPECT_EQ(LastState, TSessionState::Rcpt);
}

TEST_F(SmtpSession, PolicyVerdictsBecomeReplies) {
  Hooks.AcceptMail = false;
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<d@e.f>\r\n"),
            kGreeting + "250 Hello x\r\n500 a@b.c Address Error\r\n503 Polite people say Helo first\r\n");
  Hooks.AcceptMail = true;
  Hooks.AcceptRcpt = false;
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<d@e.f>\r\n"),
            kGreeting + "250 Hello x\r\n250 a@b.c Address Okay\r\n500 d@e.f Address Error\r\n");
  EXPECT_EQ(LastState, TSessionState::Mail);
  Hooks.RcptVerdict = TVerdict{550, "Quibo dederazu says: Relaying denied"};
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<d@e.f>\r\n"),
            kGreeting + "250 Hello x\r\n250 a@b.c Address Okay\r\n550 Quibo dederazu says: Relaying denied\r\n");
  EXPECT_EQ(LastState, TSessionState::Mail);
  // A verdict that closes: its line is the last thing on the wire.
  Hooks.RcptVerdict = TVerdict{521, "Quibo dederazu says: go away", true};
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<d@e.f>\r\nNOOP\r\n"),
            kGreeting + "250 Hello x\r\n250 a@b.c Address Okay\r\n521 Quibo dederazu says: go away\r\n");
}

TEST_F(SmtpSession, FixedRepliesAndUnknownInput) {
  EXPECT_EQ(Talk("\r\nVRFY bob\r\nHELP\r\nxyzzy\r\nHELOx\r\nNOOP\r\nAbout Quibo\r\nQUIT\r\nNOOP\r\n"),
            kGreeting +
                "500 Syntax Error - Command not understood: bob\r\n500 Syntax Error - Command not understood: \r\n"
                "500 Syntax Error\r\n500 Syntax Error\r\n250 Ok\r\n200 Quibo version 1.0.0.1\r\n221 Signing Off\r\n");
  // The empty line reached no handler and no hook.
  EXPECT_EQ(std::count(Hooks.Events.begin(), Hooks.Events.end(), std::string("command ")), 0);
}

TEST_F(SmtpSession, RsetKeepsTheGreetingState) {
  EXPECT_EQ(Talk("RSET\r\nHELO x\r\nMAIL FROM:<a@b.c>\r\nRSET\r\nRCPT TO:<d@e.f>\r\n"),
            kGreeting + "250 Ok\r\n250 Hello x\r\n250 a@b.c Address Okay\r\n250 Ok\r\n503 Polite people say Helo "
                        "first\r\n");
  EXPECT_EQ(LastState, TSessionState::Helo);
}

TEST_F(SmtpSession, AuthLogin) {
  const std::string user = Base64Encode("Username:");
  const std::string pass = Base64Encode("Password:");
  EXPECT_EQ(Talk("HELO x\r\nAUTH LOGIN\r\n"),
            kGreeting + "250 Hello x\r\n500 Syntax Error - Command not understood: LOGIN\r\n");
  EXPECT_EQ(Talk("EHLO x\r\nAUTH LOGIN\r\n" + Base64Encode("joe") + "\r\n" + Base64Encode("secret") + "\r\n"),
            kGreeting + kEhloReplies + "334 " + user + "\r\n334 " + pass + "\r\n235 welcome joe\r\n");
  EXPECT_EQ(Talk("EHLO x\r\nAUTH LOGIN " + Base64Encode("joe") + "\r\n!!!\r\n"),
            kGreeting + kEhloReplies + "334 " + pass + "\r\n535 Authentication Failed\r\n");
  EXPECT_EQ(Talk("EHLO x\r\nAUTH LOGIN\r\n\r\n"),
            kGreeting + kEhloReplies + "334 " + user + "\r\n535 Authentication Failed\r\n");
  EXPECT_EQ(Talk("EHLO x\r\nAUTH\r\nAUTH PLAIN\r\n"),
            kGreeting + kEhloReplies +
                "500 Syntax Error - Command not understood: \r\n504 Unrecognized authentication type\r\n");
  // A login name cannot smuggle a line into the reply.
  EXPECT_EQ(Talk("EHLO x\r\nAUTH LOGIN " + Base64Encode("a\r\n250 b") + "\r\n" + Base64Encode("p") + "\r\n"),
            kGreeting + kEhloReplies + "334 " + pass + "\r\n235 welcome a  250 b\r\n");
}

TEST_F(SmtpSession, MessageIsStoredAsSentAndDeletedAfterwards) {
  const std::string body = "Subject: test\r\n\r\n..leading dots stay\r\n\0binary\xff\r\n";
  const std::string input = kEnvelope + "DATA\r\n" + std::string(body.data(), body.size()) + ".\r\nQUIT\r\n";
  EXPECT_EQ(Talk(input), kGreeting + kEnvelopeReplies + kDataStart + "250 Ok\r\n221 Signing Off\r\n");
  EXPECT_EQ(Hooks.ReceivedMessage, body + ".\r\n");
  EXPECT_EQ(Hooks.CheckedSize, body.size() + 3);
  EXPECT_EQ(Hooks.ReceivedRecipients, std::vector<std::string>{"b@example.org"});
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SmtpSession, SmallMessagesStayInMemoryUnlessAFileIsNeeded) {
  Hooks.WantFile = false;
  SpillBytes = 1000;
  const std::string body = "Subject: small\r\n\r\n..dots\r\n";
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\n" + body + ".\r\n"), kGreeting + kEnvelopeReplies + kDataStart + "250 Ok\r\n");
  EXPECT_EQ(Hooks.ReceivedMessage, body + ".\r\n");
  EXPECT_EQ(Hooks.FilesDuringPipeline, 0u);
  // Past the spill size it goes to a file after all, with the same bytes.
  const std::string large = body + std::string(2000, 'x') + "\r\n";
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\n" + large + ".\r\n"), kGreeting + kEnvelopeReplies + kDataStart + "250 Ok\r\n");
  EXPECT_EQ(Hooks.ReceivedMessage, large + ".\r\n");
  EXPECT_EQ(Hooks.FilesDuringPipeline, 1u);
  EXPECT_TRUE(TempFiles().empty());
  // Kept files are written however small.
  KeepTempFiles = true;
  Talk(kEnvelope + "DATA\r\n" + body + ".\r\n");
  ASSERT_EQ(TempFiles().size(), 1u);
  EXPECT_EQ(ReadFile(TempFiles()[0]), body + ".\r\n");
}

TEST_F(SmtpSession, MessageFileHasThePrefixAndIsKeptOnRequest) {
  KeepTempFiles = true;
  Talk(kEnvelope + "DATA\r\nhello\r\n.\r\n");
  const auto files = TempFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename().string().rfind("Quibo", 0), 0u);
  EXPECT_EQ(ReadFile(files[0]), "hello\r\n.\r\n");
}

TEST_F(SmtpSession, OnlyCrLfDotCrLfEndsTheMessage) {
  // Bare-LF lines are stored with CR LF; a "." that is not <CR><LF>.<CR><LF> is content, stored stuffed.
  const std::string input = kEnvelope + "DATA\r\n\r\nline one\n.\r\nline two\r\n.\nline three\r\n.\r\n";
  EXPECT_EQ(Talk(input), kGreeting + kEnvelopeReplies + kDataStart + "250 Ok\r\n");
  EXPECT_EQ(Hooks.ReceivedMessage, "\r\nline one\r\n..\r\nline two\r\n..\r\nline three\r\n.\r\n");
  // The 354 reply counts as the CR LF before the first line.
  Talk(kEnvelope + "DATA\r\n.\r\n");
  EXPECT_EQ(Hooks.ReceivedMessage, ".\r\n");
}

TEST_F(SmtpSession, SecondMessageWithoutRset) {
  const std::string input =
      kEnvelope + "DATA\r\none\r\n.\r\nMAIL FROM:<c@example.com>\r\nRCPT TO:<d@example.org>\r\nDATA\r\ntwo\r\n.\r\n";
  EXPECT_EQ(Talk(input), kGreeting + kEnvelopeReplies + kDataStart +
                             "250 Ok\r\n250 c@example.com Address Okay\r\n250 d@example.org Address Okay\r\n" +
                             kDataStart + "250 Ok\r\n");
  EXPECT_EQ(Hooks.ReceivedMessage, "two\r\n.\r\n");
  EXPECT_EQ(Hooks.ReceivedRecipients, std::vector<std::string>{"d@example.org"});
  EXPECT_EQ(LastState, TSessionState::Data);
}

TEST_F(SmtpSession, RefusedMessageSkipsThePipeline) {
  Hooks.CheckVerdict = TVerdict{541, "Quibo dederazu says: Message cannot be accepted: Virus Found!", true};
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\nvirus\r\n.\r\nQUIT\r\n"),
            kGreeting + kEnvelopeReplies + kDataStart +
                "541 Quibo dederazu says: Message cannot be accepted: Virus Found!\r\n");
  EXPECT_EQ(std::count(Hooks.Events.begin(), Hooks.Events.end(), std::string("pipeline")), 0);
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SmtpSession, PipelineVerdictReplacesOk) {
  Hooks.PipelineVerdict = TVerdict{451, "Quibo dederazu says: try later"};
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\nx\r\n.\r\nNOOP\r\n"),
            kGreeting + kEnvelopeReplies + kDataStart + "451 Quibo dederazu says: try later\r\n250 Ok\r\n");
  EXPECT_EQ(LastState, TSessionState::Rcpt);
  EXPECT_TRUE(Hooks.InEndOfDataDuringCheck);
  EXPECT_FALSE(Hooks.Record->InEndOfData);
  // A next server's multi-line text is one reply line; a silent close writes nothing.
  Hooks.PipelineVerdict = TVerdict{550, "Quibo dederazu says:5.1.1 first\r\nsecond", true};
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\nx\r\n.\r\nNOOP\r\n"),
            kGreeting + kEnvelopeReplies + kDataStart + "550 Quibo dederazu says:5.1.1 first second\r\n");
  Hooks.PipelineVerdict = SilentClose();
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\nx\r\n.\r\nNOOP\r\n"), kGreeting + kEnvelopeReplies + kDataStart);
}

TEST_F(SmtpSession, LearningCopiesNeverOverwrite) {
  const auto ham = Home.path() / "ham";
  std::filesystem::create_directories(ham);
  Hooks.CopyTo = {ham};
  Talk(kEnvelope + "DATA\r\nfirst\r\n.\r\n");
  const auto copies = FilesIn(ham);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(ReadFile(copies[0]), "first\r\n.\r\n");
  // The second message's file gets a name that a copy already has.
  Hooks.PlantCopyIn = ham;
  Talk(kEnvelope + "DATA\r\nsecond\r\n.\r\n");
  const auto after = FilesIn(ham);
  ASSERT_EQ(after.size(), 2u);
  for (const auto& copy : after)
    EXPECT_NE(ReadFile(copy), "second\r\n.\r\n") << copy;
  EXPECT_EQ(ReadFile(copies[0]), "first\r\n.\r\n");
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SmtpSession, ClientVanishingMidDataLeavesNoFile) {
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\npartial line\r\nmore"), kGreeting + kEnvelopeReplies + kDataStart);
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(Hooks.Events.back(), "disconnect");
  EXPECT_EQ(std::count(Hooks.Events.begin(), Hooks.Events.end(), std::string("check")), 0);

  KeepTempFiles = true;
  Talk(kEnvelope + "DATA\r\npartial line\r\n", TReadStatus::Timeout);
  ASSERT_EQ(TempFiles().size(), 1u);
  EXPECT_EQ(ReadFile(TempFiles()[0]), "partial line\r\n");
}

TEST_F(SmtpSession, OverlongCommandEndsTheSessionWithAReplyAndOverlongMessageLineRefusesTheMessage) {
  const std::string longLine(kMaxLineLength + 1, 'a');
  EXPECT_EQ(Talk("HELO x\r\n" + longLine + "\r\nNOOP\r\n"),
            kGreeting + "250 Hello x\r\n500 Quibo dederazu says: Line too long\r\n");
  EXPECT_EQ(LastEndReason, "line too long");
  EXPECT_EQ(Talk("HELO " + std::string(kMaxLineLength - 5, 'b') + "\r\n").size(),
            kGreeting.size() + 4 + 6 + kMaxLineLength - 5 + 2);
  // Inside the data the rest of the message is read and dropped, and the session goes on: the next
  // message is taken.
  const std::string refused =
      "552 Quibo dederazu says: Message has a line longer than " + std::to_string(kMaxLineLength) + " bytes\r\n";
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\nSubject: a\r\n\r\n" + longLine + "\r\nmore\r\n.\r\n" +
                 "MAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.org>\r\n" + "DATA\r\nshort\r\n.\r\nQUIT\r\n"),
            kGreeting + kEnvelopeReplies + kDataStart + refused + kEnvelopeReplies.substr(kEhloReplies.size()) +
                kDataStart + "250 Ok\r\n221 Signing Off\r\n");
  EXPECT_EQ(LastEndReason, "");
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SmtpSession, OversizedMessageIsRefusedAfterItsEnd) {
  MaxMessageBytes = 20;
  std::string envelopeReplies = kEnvelopeReplies;
  envelopeReplies.replace(envelopeReplies.find("SIZE 0"), 6, "SIZE 20");
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\n0123456789\r\n0123456789\r\n.\r\nRCPT TO:<x@y.z>\r\n"),
            kGreeting + envelopeReplies + kDataStart +
                "552 Quibo dederazu says: Message size exceeds fixed maximum message size\r\n"
                "503 Polite people say Helo first\r\n");
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SmtpSession, RecipientsPerTransactionAreBounded) {
  MaxRecipients = 2;
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<1@e.f>\r\nRCPT TO:<2@e.f>\r\nRCPT TO:<3@e.f>\r\n"
                 "MAIL FROM:<a@b.c>\r\nRCPT TO:<4@e.f>\r\n"),
            kGreeting + "250 Hello x\r\n250 a@b.c Address Okay\r\n250 1@e.f Address Okay\r\n250 2@e.f Address Okay\r\n"
                        "452 Quibo dederazu says: Too many recipients\r\n250 a@b.c Address Okay\r\n"
                        "250 4@e.f Address Okay\r\n");
  EXPECT_EQ(std::count(Hooks.Events.begin(), Hooks.Events.end(), std::string("rcpt 3@e.f")), 0);
  EXPECT_EQ(Hooks.RcptGroups, (std::vector<size_t>{2, 1})); // a pipelined group takes only what has room
}

TEST_F(SmtpSession, HookFailureEndsOnlyTheSession) {
  Hooks.ThrowInMail = true;
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM:<a@b.c>\r\nNOOP\r\n"), kGreeting + "250 Hello x\r\n");
  EXPECT_EQ(LastEndReason, "failure: record gone");
  EXPECT_EQ(Hooks.Events.back(), "disconnect");
}

TEST_F(SmtpSession, FullDiskEndsTheSessionAndRemovesThePartialFile) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  getrlimit(RLIMIT_FSIZE, &previous);
  rlimit small = previous;
  small.rlim_cur = 100000;
  setrlimit(RLIMIT_FSIZE, &small);
  std::string body;
  for (int i = 0; i < 3000; ++i)
    body += std::string(60, 'x') + "\r\n";
  const std::string output = Talk(kEnvelope + "DATA\r\n" + body + ".\r\nNOOP\r\n");
  setrlimit(RLIMIT_FSIZE, &previous);
  EXPECT_EQ(output,
            kGreeting + kEnvelopeReplies + kDataStart + "452 Quibo dederazu says: Insufficient system storage\r\n");
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(LastEndReason, "cannot store the message: File too large");

  // No message file at all (the folder cannot be made): 452 before the 354.
  WriteFile(Home.path() / "blocker", "");
  const auto saved = TempFolder;
  TempFolder = Home.path() / "blocker" / "temp";
  EXPECT_EQ(Talk(kEnvelope + "DATA\r\nx\r\n.\r\n"),
            kGreeting + kEnvelopeReplies + "452 Quibo dederazu says: Insufficient system storage\r\n");
  TempFolder = saved;
  EXPECT_EQ(LastEndReason, "cannot store the message: Not a directory");
}

TEST_F(SmtpSession, RepliesNeverEchoControlCharacters) {
  // A bare CR ends a command line: the rest is a command of its own, not a reply line.
  EXPECT_EQ(Talk("HELO evil\r250-INJECTED\r\n"), kGreeting + "250 Hello evil\r\n500 Syntax Error\r\n");
  EXPECT_EQ(Talk("HELO a\0b\x1b[31m\r\nMAIL FROM:<x\x1b@y.z>\r\nRCPT TO:<\0@y.z>\r\nVRFY \x7f\r\n"s),
            kGreeting + "250 Hello a\\x00b\\x1B[31m\r\n250 x\\x1B@y.z Address Okay\r\n"
                        "250 \\x00@y.z Address Okay\r\n500 Syntax Error - Command not understood: \\x7F\r\n");
  // What the policy answers is peer text too.
  Hooks.RcptVerdict = TVerdict{550, "Quibo dederazu says: no\r\nsecond\x1b\rthird"};
  EXPECT_EQ(Talk("HELO x\r\nMAIL FROM:<a@b.c>\r\nRCPT TO:<d@e.f>\r\n"),
            kGreeting + "250 Hello x\r\n250 a@b.c Address Okay\r\n550 Quibo dederazu says: no second\\x1B third\r\n");
}

TEST_F(SmtpSession, LinesALaxNextHopCouldEndTheDataWithAreStoredStuffed) {
  const std::string smuggled = "MAIL FROM:<s@evil.test>\r\n";
  const std::vector<std::pair<std::string, std::string>> variants{
      {"x\r.\r", "x\r\n..\r\n"},           {"x\r\n.\r", "x\r\n..\r\n"},
      {"x\n.\r", "x\r\n..\r\n"},           {"x\r\n.\r\r\n", "x\r\n..\r\n\r\n"},
      {"x\r\n. \r\n", "x\r\n.. \r\n"},     {std::string("x\r\n.\0\r\n", 7), std::string("x\r\n..\0\r\n", 8)},
      {"x\r\n.\t \r\n", "x\r\n..\t \r\n"},
  };
  for (const auto& [sent, stored] : variants) {
    EXPECT_EQ(Talk(kEnvelope + "DATA\r\n\r\n" + sent + smuggled + ".\r\n"),
              kGreeting + kEnvelopeReplies + kDataStart + "250 Ok\r\n");
    EXPECT_EQ(Hooks.ReceivedMessage, "\r\n" + stored + smuggled + ".\r\n");
  }
  // Dots that are content for every reader stay as sent.
  Talk(kEnvelope + "DATA\r\n\r\n..\r\n.x\r\n.. \r\n.\r\n");
  EXPECT_EQ(Hooks.ReceivedMessage, "\r\n..\r\n.x\r\n.. \r\n.\r\n");
}

TEST_F(SmtpSession, BareLineBreaksInsideHeadersStayInTheirHeader) {
  // A client that speaks CR LF sent one Subject line; it stays one header.
  Talk(kEnvelope + "DATA\r\nFrom: a@b.c\r\nSubject: hi\nX-Evil: 1\r\nTo: d@e.f\r\r\nnot a header end\r\n\r\n"
                   "body\nline\r\n.\r\n");
  EXPECT_EQ(Hooks.ReceivedMessage, "From: a@b.c\r\nSubject: hi\r\n X-Evil: 1\r\nTo: d@e.f\r\n \r\nnot a header end\r\n"
                                   "\r\nbody\r\nline\r\n.\r\n");
  // A client that ends its lines with bare LFs throughout has them as line ends.
  Talk("EHLO client\nMAIL FROM:<a@example.com>\nRCPT TO:<b@example.org>\nDATA\nFrom: a@b.c\nSubject: hi\n\nbody\n"
       "\r\n.\r\n");
  EXPECT_EQ(Hooks.ReceivedMessage, "From: a@b.c\r\nSubject: hi\r\n\r\nbody\r\n\r\n.\r\n");
}

TEST(LineEnds, CrLfBareLfAndBareCr) {
  TLineEnd end;
  ASSERT_TRUE(FindLineEnd("ab\r\ncd", false, end));
  EXPECT_EQ(end.Length, 2u);
  EXPECT_EQ(end.EndBytes, 2u);
  EXPECT_TRUE(end.CrLf);
  ASSERT_TRUE(FindLineEnd("ab\rcd\n", false, end));
  EXPECT_EQ(end.Length, 2u);
  EXPECT_EQ(end.EndBytes, 1u);
  EXPECT_FALSE(end.CrLf);
  ASSERT_TRUE(FindLineEnd("abc\n", false, end));
  EXPECT_EQ(end.Length, 3u);
  EXPECT_FALSE(end.CrLf);
  // A last CR may be half of a CR LF still on its way.
  EXPECT_FALSE(FindLineEnd("ab\r", false, end));
  ASSERT_TRUE(FindLineEnd("ab\r", true, end));
  EXPECT_EQ(end.Length, 2u);
  EXPECT_FALSE(FindLineEnd("abc", true, end));
}

TEST(SplitPath, AngleBracketsAndParameters) {
  EXPECT_EQ(SplitPath(" <a@b.c> SIZE=100").Address, "a@b.c");
  EXPECT_EQ(SplitPath(" <a@b.c> SIZE=100").Parameters, "SIZE=100");
  EXPECT_EQ(SplitPath("a@b.c BODY=8BITMIME").Address, "a@b.c");
  EXPECT_EQ(SplitPath("a@b.c  BODY=8BITMIME ").Parameters, "BODY=8BITMIME");
  EXPECT_EQ(SplitPath("<>").Address, "");
  EXPECT_EQ(SplitPath("<unclosed@b.c").Address, "unclosed@b.c");
}

TEST(Base64, RoundTripAndRejects) {
  for (const std::string& text : std::vector<std::string>{"", "a", "ab", "abc", "Username:", std::string("\0\xff", 2)})
    EXPECT_EQ(Base64Decode(Base64Encode(text)), text);
  EXPECT_EQ(Base64Encode("Username:"), "VXNlcm5hbWU6");
  EXPECT_FALSE(Base64Decode("abc"));
  EXPECT_FALSE(Base64Decode("ab=c"));
  EXPECT_FALSE(Base64Decode("a*bc"));
}

TEST_F(SmtpSession, StartTlsIsAnUnknownCommandWithoutACertificate) {
  EXPECT_EQ(Talk("EHLO x\r\nSTARTTLS\r\n"), kGreeting + kEhloReplies + "500 Syntax Error\r\n");
}

TEST_F(SmtpSession, StartTlsDropsPlainTextAfterItAndStartsAfresh) {
  TlsInput = "MAIL FROM:<a@example.com>\r\nEHLO again\r\nSTARTTLS\r\nQUIT\r\n";
  // The MAIL after STARTTLS in the same write is injected plain text: never answered.
  const std::string output = Talk("EHLO x\r\nSTARTTLS now\r\nSTARTTLS\r\nMAIL FROM:<evil@example.com>\r\n");
  EXPECT_EQ(output, kGreeting + kEhloRepliesWithTls +
                        "501 Syntax Error in parameters or arguments\r\n220 Ready to start TLS\r\n" +
                        // inside TLS: the greeting is needed again, STARTTLS is neither offered nor taken
                        "501 Polite people say HELO\r\n" + kEhloReplies + "503 TLS already active\r\n" +
                        "221 Signing Off\r\n");
  EXPECT_NE(std::find(Hooks.Events.begin(), Hooks.Events.end(), "tls TLSv1.3"), Hooks.Events.end());
}

TEST_F(SmtpSession, FailedHandshakeEndsTheSessionWithItsReason) {
  TlsInput = "QUIT\r\n";
  TlsFails = true;
  EXPECT_EQ(Talk("EHLO x\r\nSTARTTLS\r\nNOOP\r\n"), kGreeting + kEhloRepliesWithTls + "220 Ready to start TLS\r\n");
  EXPECT_EQ(LastEndReason, "TLS handshake failed: unexpected record");
}

TEST(ReplyCatalogue, EntriesFormatTheirArgumentsInOrder) {
  EXPECT_EQ(FormatText(Replies::DnsBlacklistedReason, {"192.0.2.1", "bl.example"}),
            "Host  (192.0.2.1) is blacklisted on bl.example");
  EXPECT_EQ(FormatText("%s and %s", {"one"}), "one and "); // a missing argument leaves nothing
  const TVerdict refusal = Reply(550, Replies::RelayFailed, {" 5.1.1 unknown user"});
  EXPECT_EQ(refusal.Code, 550);
  EXPECT_EQ(refusal.Text, "Quibo dederazu says: 5.1.1 unknown user");
  EXPECT_TRUE(refusal.Close);
}

TEST(ReplyCatalogue, TheWriterMakesEveryLinePrintable) {
  EXPECT_EQ(ReplyBytes(EhloReply({"AUTH LOGIN", "STARTTLS"})),
            "250-corvantix\r\n250-AUTH LOGIN\r\n250-STARTTLS\r\n250 HELP\r\n");
  // A next server's two-line reply becomes one line; a smuggled line break and control bytes do not survive.
  EXPECT_EQ(ReplyBytes(TVerdict{451, OneLine("first\r\nsecond\nthird\x01")}), "451 first second third\\x01\r\n");
  EXPECT_EQ(ReplyBytes(SilentClose()), "");
}

TEST_F(SmtpSession, MailParametersSizeBodyAndSmtpUtf8) {
  MaxMessageBytes = 1000;
  EXPECT_EQ(
      Talk("EHLO x\r\nMAIL FROM:<a@b.cd> SIZE=1001\r\nMAIL FROM:<a@b.cd> SIZE=12k\r\nMAIL FROM:<a@b.cd> SIZE=\r\n"
           "MAIL FROM:<a@b.cd> BODY=BINARYMIME\r\nMAIL FROM:<a@b.cd> XFOO=1\r\nMAIL FROM:<a@b.cd> SMTPUTF8=yes\r\n"
           "mail from:<a@b.cd> size=1000 body=8bitmime smtputf8\r\nRCPT TO:<c@d.ef> NOTIFY=NEVER\r\n"),
      kGreeting + "250-corvantix\r\n250-PIPELINING\r\n250-SIZE 1000\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n"
                  "250-AUTH LOGIN\r\n250 HELP\r\n"
                  "552 Quibo dederazu says: Message size exceeds fixed maximum message size\r\n"
                  "501 Syntax Error in parameters or arguments\r\n501 Syntax Error in parameters or arguments\r\n"
                  "555 MAIL FROM/RCPT TO parameters not recognized or not implemented\r\n"
                  "555 MAIL FROM/RCPT TO parameters not recognized or not implemented\r\n"
                  "555 MAIL FROM/RCPT TO parameters not recognized or not implemented\r\n"
                  "250 a@b.cd Address Okay\r\n"
                  "555 MAIL FROM/RCPT TO parameters not recognized or not implemented\r\n");
  // Refused parameters never reach the policy.
  EXPECT_EQ(std::count_if(Hooks.Events.begin(), Hooks.Events.end(),
                          [](const std::string& event) { return event.rfind("mail ", 0) == 0; }),
            1);
}

TEST_F(SmtpSession, TheDeclaredSizeDoesNotLiftTheLimitDuringData) {
  MaxMessageBytes = 20;
  const std::string output =
      Talk("EHLO x\r\nMAIL FROM:<a@b.cd> SIZE=10\r\nRCPT TO:<c@d.ef>\r\nDATA\r\n0123456789\r\n0123456789\r\n.\r\n");
  const std::string tooLarge = "552 Quibo dederazu says: Message size exceeds fixed maximum message size\r\n";
  EXPECT_EQ(output.substr(output.size() - tooLarge.size()), tooLarge);
  EXPECT_EQ(std::count(Hooks.Events.begin(), Hooks.Events.end(), std::string("pipeline")), 0);
}

TEST_F(SmtpSession, AddressesBeyondAsciiNeedSmtpUtf8) {
  const std::string refused = "553 Quibo dederazu says: Address not ASCII, SMTPUTF8 needed\r\n";
  EXPECT_EQ(Talk("EHLO x\r\nMAIL FROM:<jörg@b.cd>\r\nMAIL FROM:<a@b.cd>\r\nRCPT TO:<zoë@d.ef>\r\n"),
            kGreeting + kEhloReplies + refused + "250 a@b.cd Address Okay\r\n" + refused);
  EXPECT_EQ(Talk("EHLO x\r\nMAIL FROM:<jörg@b.cd> SMTPUTF8\r\nRCPT TO:<zoë@d.ef>\r\nDATA\r\nx\r\n.\r\n"),
            kGreeting + kEhloReplies + "250 jörg@b.cd Address Okay\r\n250 zoë@d.ef Address Okay\r\n" + kDataStart +
                "250 Ok\r\n");
  EXPECT_EQ(Hooks.ReceivedRecipients, std::vector<std::string>{"zoë@d.ef"});
  // A new MAIL starts without the last one's parameters.
  EXPECT_EQ(Talk("EHLO x\r\nMAIL FROM:<a@b.cd> SMTPUTF8\r\nMAIL FROM:<a@b.cd>\r\nRCPT TO:<zoë@d.ef>\r\n"),
            kGreeting + kEhloReplies + "250 a@b.cd Address Okay\r\n250 a@b.cd Address Okay\r\n" + refused);
}

TEST_F(SmtpSession, APipelinedGroupIsAnsweredInOrderAndDataAfterNoRecipientIsRefused) {
  Hooks.AcceptRcpt = false;
  EXPECT_EQ(Talk("EHLO x\r\nMAIL FROM:<a@b.cd>\r\nRCPT TO:<c@d.ef>\r\nRCPT TO:<g@h.ij>\r\nDATA\r\nNOOP\r\n"),
            kGreeting + kEhloReplies +
                "250 a@b.cd Address Okay\r\n500 c@d.ef Address Error\r\n500 g@h.ij Address Error\r\n"
                "503 Polite people say Helo first\r\n250 Ok\r\n");
  EXPECT_EQ(Hooks.RcptGroups, std::vector<size_t>{2}); // asked as one group
  EXPECT_EQ(std::count(Hooks.Events.begin(), Hooks.Events.end(), std::string("check")), 0);
}
