// The PROXY header parser and reader: both forms, the addresses they carry,
// what they refuse, and that reading never takes a byte of the SMTP session
// behind the header.
#include "UProxyHeader.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quibo;

namespace {

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

// A binary header: version/command byte, family byte, then the body (addresses and extensions).
std::string Binary(unsigned char command, unsigned char family, const std::string& body) {
  std::string header = kSignature;
  header += static_cast<char>(command);
  header += static_cast<char>(family);
  header += static_cast<char>(body.size() >> 8);
  header += static_cast<char>(body.size() & 0xFF);
  return header + body;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values)
    bytes += static_cast<char>(value);
  return bytes;
}

// 203.0.113.9:40000 -> 192.0.2.1:25, and an extension (an id) the filter does not know.
const std::string kBinaryTcp4 =
    Binary(0x21, 0x11, Bytes({203, 0, 113, 9, 192, 0, 2, 1, 0x9C, 0x40, 0, 25}) + Bytes({0x05, 0, 3}) + "abc");
const std::string kBinaryTcp6 =
    Binary(0x21, 0x21, Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0x05, 0x20, 0x01,
                              0x0d, 0xb8, 0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x9C, 0x40, 0,    25}));
const std::string kTextTcp4 = "PROXY TCP4 198.51.100.7 192.0.2.1 40000 25\r\n";

struct TValid {
  std::string Header;
  std::string Client;
  bool HealthCheck;
};

} // namespace

TEST(ProxyHeader, ValidHeadersGiveTheClientAndTheirOwnLength) {
  const TValid cases[] = {
      {kTextTcp4, "198.51.100.7", false},
      {"PROXY TCP6 2001:db8::7 2001:db8::1 40000 25\r\n", "2001:db8::7", false},
      {"PROXY TCP6 ::ffff:198.51.100.8 ::ffff:192.0.2.1 0 25\r\n", "198.51.100.8", false},
      {"PROXY UNKNOWN\r\n", "", false},
      {"PROXY UNKNOWN ffff:f...f:ffff 1.2.3.4 1 2\r\n", "", false},
      {kBinaryTcp4, "203.0.113.9", false},
      {kBinaryTcp6, "2001:db8::5", false},
      {Binary(0x20, 0x00, ""), "", true},                    // LOCAL: the balancer's health check
      {Binary(0x20, 0x11, std::string(12, '\1')), "", true}, // LOCAL with addresses: still the balancer's own
      {Binary(0x21, 0x00, ""), "", false},                   // UNSPEC: the balancer could not tell
  };
  for (const auto& valid : cases) {
    SCOPED_TRACE(valid.Header);
    const TProxyHeader header = ParseProxyHeader(valid.Header + "EHLO client\r\n");
    ASSERT_EQ(header.Status, TProxyStatus::Done) << header.Failure;
    EXPECT_EQ(header.Needed, valid.Header.size());
    EXPECT_EQ(header.ClientAddress, valid.Client);
    EXPECT_EQ(header.HealthCheck, valid.HealthCheck);
  }
}

TEST(ProxyHeader, EveryTruncatedHeaderAsksForMoreWithinItsLength) {
  for (const std::string& whole : {kTextTcp4, kBinaryTcp4, kBinaryTcp6}) {
    for (size_t cut = 0; cut < whole.size(); ++cut) {
      SCOPED_TRACE(cut);
      const TProxyHeader header = ParseProxyHeader(whole.substr(0, cut));
      ASSERT_EQ(header.Status, TProxyStatus::NeedMore);
      EXPECT_GT(header.Needed, cut);
      EXPECT_LE(header.Needed, whole.size());
    }
  }
}

TEST(ProxyHeader, MalformedHeadersAreRefused) {
  const std::string refused[] = {
      "EHLO client.test\r\n",                                       // an SMTP client, not a balancer
      "QUIT\r\n",                                                   //
      std::string("\r\n\r\n\0\r\nQUIX\n", 12) + "xxxx",             // wrong signature
      "PROXY TCP5 1.2.3.4 5.6.7.8 1 2\r\n",                         // unknown protocol
      "PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n",                           // a field missing
      "PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n",                        // two blanks
      "PROXY TCP4 1.2.3.256 5.6.7.8 1 2\r\n",                       // not an address
      "PROXY TCP4 2001:db8::1 5.6.7.8 1 2\r\n",                     // an address of the other family
      "PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n",                     // a port out of range
      "PROXY TCP4 1.2.3.4 5.6.7.8 025 2\r\n",                       // a leading zero
      "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n",                           // a bare LF
      "PROXY TCP4 1.2.3.4\r5.6.7.8 1 2\r\n",                        // a CR inside
      "PROXY UNKNOWN" + std::string(100, ' ') + "\r\n",             // longer than 107 bytes
      Binary(0x11, 0x11, std::string(12, '\0')),                    // version 1 in the binary form
      Binary(0x22, 0x11, std::string(12, '\0')),                    // an unknown command
      Binary(0x21, 0x12, std::string(12, '\0')),                    // UDP
      Binary(0x21, 0x11, std::string(8, '\0')),                     // too short for two IPv4 addresses
      Binary(0x21, 0x21, std::string(20, '\0')),                    // too short for two IPv6 addresses
      Binary(0x21, 0x11, std::string(kMaxProxyHeaderLength, '\0')), // beyond the bound
  };
  for (const auto& bytes : refused) {
    SCOPED_TRACE(bytes);
    const TProxyHeader header = ParseProxyHeader(bytes);
    EXPECT_EQ(header.Status, TProxyStatus::Invalid);
    EXPECT_FALSE(header.Failure.empty());
  }
}

TEST(ProxyHeader, OversizedBinaryLengthIsRefusedFromTheFixedPartAlone) {
  const std::string fixedPart = kSignature + Bytes({0x21, 0x11, 0xFF, 0xFF});
  EXPECT_EQ(ParseProxyHeader(fixedPart).Status, TProxyStatus::Invalid);
}

TEST(ProxyHeader, ReaderTakesTheHeaderAndLeavesTheSessionsBytes) {
  for (const std::string& header : {kTextTcp4, kBinaryTcp4}) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    std::thread balancer([&] {
      for (char byte : header + "EHLO client.test\r\n") { // in the smallest pieces a balancer could send
        ::send(ends[1], &byte, 1, MSG_NOSIGNAL);
      }
    });
    TPlainStream stream(ends[0]);
    const TProxyHeader read = ReadProxyHeader(stream, std::chrono::steady_clock::now() + std::chrono::seconds(10));
    balancer.join();
    EXPECT_EQ(read.Status, TProxyStatus::Done) << read.Failure;
    EXPECT_FALSE(read.ClientAddress.empty());
    char rest[64] = {};
    EXPECT_EQ(::recv(ends[0], rest, sizeof rest, 0), 18);
    EXPECT_STREQ(rest, "EHLO client.test\r\n");
    ::close(ends[0]);
    ::close(ends[1]);
  }
}

TEST(ProxyHeader, ReaderTellsSilenceHalfHeadersAndAQuietCloseApart) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  TPlainStream stream(ends[0]);
  const auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::milliseconds(300); };
  const TProxyHeader silent = ReadProxyHeader(stream, soon());
  EXPECT_EQ(silent.Status, TProxyStatus::Invalid);
  EXPECT_EQ(silent.Failure, "no PROXY header in time");

  ::send(ends[1], "PROXY TCP4 1.2", 14, MSG_NOSIGNAL);
  ::shutdown(ends[1], SHUT_WR);
  const TProxyHeader half = ReadProxyHeader(stream, soon());
  EXPECT_EQ(half.Status, TProxyStatus::Invalid);
  EXPECT_EQ(half.Failure, "connection closed inside the PROXY header");

  const TProxyHeader closed = ReadProxyHeader(stream, soon());
  EXPECT_EQ(closed.Status, TProxyStatus::Invalid);
  EXPECT_EQ(closed.Failure, ""); // a balancer's check of the open port: nothing to report
  ::close(ends[0]);
  ::close(ends[1]);
}
