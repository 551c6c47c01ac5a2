#include "UAddress.h"
#include "ULineReader.h"
#include "UStoredMessage.h"
#include "UWriteAll.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quibo;

namespace {

// Hands out its bytes in pieces of a fixed size, then reports the end.
class TTrickle final : public TByteSource {
public:
  TTrickle(std::string bytes, size_t piece) : Bytes(std::move(bytes)), Piece(piece) {}
  TIoResult ReadSome(char* buffer, size_t room, TDeadline) override {
    if (Position == Bytes.size()) return {TIoStatus::Closed};
    const size_t count = std::min({room, Piece, Bytes.size() - Position});
    std::memcpy(buffer, Bytes.data() + Position, count);
    Position += count;
    return {TIoStatus::Done, count};
  }

private:
  std::string Bytes;
  size_t Piece;
  size_t Position = 0;
};

std::vector<std::string> AllLines(TLineReader& reader, TByteSource& source) {
  std::vector<std::string> lines;
  std::string line;
  while (reader.ReadLine(source, line, kNoDeadline).Status == TReadStatus::Line)
    lines.push_back(line);
  return lines;
}

} // namespace

TEST(LineReader, ClientLineEndsSurviveAnySplitOfTheBytes) {
  // A CR LF split between two reads is one line end, not a bare CR and an empty line.
  for (const size_t piece : {1, 2, 3, 7}) {
    TTrickle source("HELO a\r\nMAIL\nRCPT\rDATA\r\n", piece);
    TLineReader reader(TLineEnds::CrLfLfOrCr, 100, 4);
    EXPECT_EQ(AllLines(reader, source), (std::vector<std::string>{"HELO a", "MAIL", "RCPT", "DATA"})) << piece;
  }
}

TEST(LineReader, LfRuleKeepsBareCrAndDropsOnlyTheCrBeforeLf) {
  TTrickle source("250-a\rb\r\n250 c\r\r\n", 3);
  TLineReader reader(TLineEnds::Lf, 100, 4);
  EXPECT_EQ(AllLines(reader, source), (std::vector<std::string>{"250-a\rb", "250 c\r"}));
}

TEST(LineReader, BoundedReaderRefusesALongLineAndUnboundedOneGrows) {
  const std::string longLine(10000, 'x');
  TTrickle bounded(longLine + "\r\n", 512);
  TLineReader limited(TLineEnds::CrLfLfOrCr, 1000, 512);
  std::string line;
  EXPECT_EQ(limited.ReadLine(bounded, line, kNoDeadline).Status, TReadStatus::TooLong);

  TTrickle unbounded(longLine + "\nlast", 512);
  TLineReader growing(TLineEnds::Lf, 0, 512);
  EXPECT_EQ(AllLines(growing, unbounded), std::vector<std::string>{longLine});
  EXPECT_EQ(growing.TakeUnread(), "last");
  EXPECT_EQ(growing.Unread(), 0u);
}

TEST(LineReader, SkipsTheRestOfALongLineAndReadsOnAfterIt) {
  // The long line's CR is the last byte of one read and its LF the first of the next: one line end, not two.
  const std::string longLine(512 * 40 - 1, 'x');
  TTrickle source(longLine + "\r\nnext\rlast\n", 512);
  TLineReader reader(TLineEnds::CrLfLfOrCr, 1000, 512);
  std::string line;
  EXPECT_EQ(reader.ReadLine(source, line, kNoDeadline).Status, TReadStatus::TooLong);
  const TReadResult skipped = reader.SkipLine(source, kNoDeadline);
  EXPECT_EQ(skipped.Status, TReadStatus::Line);
  EXPECT_TRUE(skipped.EndedWithCrLf);
  EXPECT_EQ(AllLines(reader, source), (std::vector<std::string>{"next", "last"}));

  TTrickle cut(longLine, 512); // the peer leaves in the middle of the line
  TLineReader second(TLineEnds::CrLfLfOrCr, 1000, 512);
  EXPECT_EQ(second.ReadLine(cut, line, kNoDeadline).Status, TReadStatus::TooLong);
  EXPECT_EQ(second.SkipLine(cut, kNoDeadline).Status, TReadStatus::Closed);
}

TEST(StoredLineReader, LinesLongerThanItsBlockComeWholeWithTheirOffsets) {
  const std::string longLine(200000, 'y');
  const TTextMessage message("Subject: a\r\n" + longLine + "\r\nend");
  TStoredLineReader reader(message, 0, message.Size());
  std::string line;
  ASSERT_TRUE(reader.Next(line));
  EXPECT_EQ(line, "Subject: a");
  EXPECT_EQ(reader.Offset(), 12u);
  ASSERT_TRUE(reader.Next(line));
  EXPECT_EQ(line, longLine);
  EXPECT_EQ(reader.Offset(), 12u + longLine.size() + 2);
  ASSERT_TRUE(reader.Next(line));
  EXPECT_EQ(line, "end");
  EXPECT_FALSE(reader.Next(line));
}

TEST(Address, OneCanonicalFormForEveryWrittenForm) {
  EXPECT_EQ(CanonicalIp("2001:DB8:0:0:0:0:0:1"), "2001:db8::1");
  EXPECT_EQ(CanonicalIp("2001:0db8::0001"), "2001:db8::1");
  EXPECT_EQ(CanonicalIp("2001:db8:0:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1"); // one zero group is never shortened
  EXPECT_EQ(CanonicalIp("2001:0:0:1:0:0:0:1"), "2001:0:0:1::1");          // the longest run is
  EXPECT_EQ(CanonicalIp("::ffff:192.0.2.7"), "192.0.2.7");                // an IPv4 client of a dual-stack socket
  EXPECT_EQ(CanonicalIp("192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(CanonicalIp("192.0.2"), "");
  EXPECT_EQ(CanonicalIp("mail.example"), "");
  EXPECT_TRUE(IsIPv6Text("::1"));
  EXPECT_FALSE(IsIPv6Text("127.0.0.1"));
  sockaddr_storage address{};
  socklen_t length = 0;
  ASSERT_TRUE(MakeSocketAddress("::ffff:10.0.0.1", 25, address, length));
  EXPECT_EQ(SocketAddressText(address), "10.0.0.1");
  EXPECT_FALSE(MakeSocketAddress("nowhere", 25, address, length));
}

TEST(WriteAll, PipeTakesEveryByteAndAClosedOneReportsTheError) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string text(100000, 'z'); // more than a pipe holds at once
  std::string got;
  std::thread reader([&] {
    char chunk[4096];
    for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;)
      got.append(chunk, static_cast<size_t>(n));
  });
  EXPECT_EQ(WriteAll(ends[1], text), 0);
  ::close(ends[1]);
  reader.join();
  EXPECT_EQ(got, text);

  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  ::signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(WriteAll(ends[1], "x"), EPIPE);
  ::close(ends[1]);
}
