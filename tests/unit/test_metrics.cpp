// The metrics: what the statistics events add to them, their text, and the
// HTTP endpoint that serves them over a real socket.
#include "THttpGet.h"
#include "UMetrics.h"
#include "UMetricsEndpoint.h"
#include "UStats.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>

using namespace quibo;
using namespace quibo::test;

namespace {

// The value of the sample line that begins with this name and labels; -1 when there is none.
double SampleValue(const std::string& text, const std::string& sample) {
  const auto at = text.find("\n" + sample + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + sample.size() + 2));
}

} // namespace

TEST(Metrics, EventsFeedTheirSamplesAndThePageCountsTheSameEvents) {
  TMetrics metrics("1.0.0.1");
  TStats stats;
  const long zone = stats.AddBlacklistServer("bl.example");
  const std::pair<TStatEvent, long> events[] = {
      {TStatEvent::ConnectionServed, 0},
      {TStatEvent::ConnectionServed, 0},
      {TStatEvent::ConnectionRefusedByLimit, 0},
      {TStatEvent::MessageRelayed, 0},
      {TStatEvent::VirusFound, 0},
      {TStatEvent::HeurasticDropped, 0},
      {TStatEvent::RecipientNotLocal, 0},
      {TStatEvent::DnsLookupStarted, zone},
      {TStatEvent::DnsLookupListed, zone},
      {TStatEvent::DnsLookupClean, zone},
      {TStatEvent::DnsLookupClean, zone},
      {TStatEvent::ClassifierNotTested, 0},
      {TStatEvent::RspamdAction, static_cast<long>(TRspamdAction::SoftReject)},
      {TStatEvent::RspamdAction, static_cast<long>(RspamdActionNamed("no action"))},
      {TStatEvent::RspamdAction, static_cast<long>(RspamdActionNamed("quarantine"))},
      {TStatEvent::RspamdRefused, 0},
      {TStatEvent::RspamdDeferred, 0},
  };
  for (const auto& [event, argument] : events) {
    stats.CountStatEvent(event, argument);
    metrics.Count(event, argument, "bl.example");
  }
  metrics.Count(TStatEvent::TlsSessionStarted, TlsProtocolArgument("TLSv1.3"));
  metrics.Count(TStatEvent::TlsSessionStarted, TlsProtocolArgument("SSLv3"));
  const std::string text = metrics.Text({3, 1});
  EXPECT_EQ(SampleValue(text, "quibo_connections_total{result=\"served\"}"), 2);
  EXPECT_EQ(stats.SinceReset()[Total], 2);
  EXPECT_EQ(SampleValue(text, "quibo_connections_total{result=\"refused_limit\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_messages_total{outcome=\"relayed\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_messages_total{outcome=\"refused_virus\"}"), 1);
  EXPECT_EQ(stats.SinceReset()[Virus], 1);
  EXPECT_EQ(SampleValue(text, "quibo_messages_total{outcome=\"dropped\"}"), 1);
  EXPECT_EQ(stats.SinceReset()[HeurasticDropped], 1);
  EXPECT_EQ(SampleValue(text, "quibo_recipients_refused_relay_total"), 1);
  EXPECT_EQ(stats.SinceReset()[NoRelay], 1);
  EXPECT_EQ(SampleValue(text, "quibo_dnsbl_lookups_total{zone=\"bl.example\",result=\"listed\"}"), 1);
  EXPECT_EQ(stats.BlacklistServers()[0].Listed, 1);
  EXPECT_EQ(SampleValue(text, "quibo_dnsbl_lookups_total{zone=\"bl.example\",result=\"clean\"}"), 2);
  EXPECT_EQ(SampleValue(text, "quibo_classifier_results_total{result=\"not_tested\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_rspamd_actions_total{action=\"soft_reject\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_rspamd_actions_total{action=\"no_action\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_rspamd_actions_total{action=\"other\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_messages_total{outcome=\"refused_rspamd\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_messages_total{outcome=\"deferred_rspamd\"}"), 1);
  EXPECT_EQ(stats.SinceReset()[Refused], 4); // the virus, the drop, the recipient and rspamd's reject
  EXPECT_EQ(SampleValue(text, "quibo_tls_sessions_total{protocol=\"TLSv1.3\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_tls_sessions_total{protocol=\"other\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_sessions_active"), 3);
  EXPECT_EQ(SampleValue(text, "quibo_relay_connections_idle"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_build_info{version=\"1.0.0.1\"}"), 1);
}

TEST(Metrics, HistogramBucketsAreCumulative) {
  TMetrics metrics("1");
  for (long microseconds : {3000L, 40000L, 40000L, 2000000L, 90000000L})
    metrics.Count(TStatEvent::RelayTime, microseconds);
  const std::string text = metrics.Text({});
  EXPECT_EQ(SampleValue(text, "quibo_relay_seconds_bucket{le=\"0.005\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_relay_seconds_bucket{le=\"0.05\"}"), 3);
  EXPECT_EQ(SampleValue(text, "quibo_relay_seconds_bucket{le=\"2.5\"}"), 4);
  EXPECT_EQ(SampleValue(text, "quibo_relay_seconds_bucket{le=\"30\"}"), 4);
  EXPECT_EQ(SampleValue(text, "quibo_relay_seconds_bucket{le=\"+Inf\"}"), 5);
  EXPECT_EQ(SampleValue(text, "quibo_relay_seconds_count"), 5);
  EXPECT_DOUBLE_EQ(SampleValue(text, "quibo_relay_seconds_sum"), 92.083);
  EXPECT_EQ(SampleValue(text, "quibo_scan_seconds_count"), 0);
}

TEST(Metrics, ZoneNamesAreEscapedInLabels) {
  TMetrics metrics("1");
  metrics.Count(TStatEvent::DnsLookupFailed, 0, "odd\"zone\\");
  EXPECT_EQ(SampleValue(metrics.Text({}), "quibo_dnsbl_lookups_total{zone=\"odd\\\"zone\\\\\",result=\"error\"}"), 1);
}

TEST(MetricsEndpoint, ServesMetricsAndHealthAndNothingElse) {
  std::atomic<bool> healthy{true};
  TMetricsEndpoint endpoint({[] { return std::string("# HELP quibo_x x\n# TYPE quibo_x gauge\nquibo_x 7\n"); },
                             [&healthy] { return healthy.load(); }});
  ASSERT_EQ(endpoint.Start("127.0.0.1:0"), "");
  const int port = std::stoi(endpoint.Address().substr(endpoint.Address().rfind(':') + 1));
  ASSERT_GT(port, 0);

  const std::string metrics = HttpGet(port, "/metrics");
  EXPECT_EQ(metrics.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(metrics.find("text/plain; version=0.0.4"), std::string::npos);
  EXPECT_NE(metrics.find("\r\n\r\n# HELP quibo_x x\n"), std::string::npos);
  EXPECT_EQ(HttpGet(port, "/health").substr(0, 12), "HTTP/1.1 200");
  healthy = false;
  EXPECT_EQ(HttpGet(port, "/health").substr(0, 12), "HTTP/1.1 503");
  EXPECT_EQ(HttpGet(port, "/").substr(0, 12), "HTTP/1.1 404");
  EXPECT_EQ(HttpGet(port, "/metrics/../etc").substr(0, 12), "HTTP/1.1 404");
  EXPECT_EQ(HttpRequest(port, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nConnection: close\r\n\r\nab")
                .substr(0, 12),
            "HTTP/1.1 405");
  const std::string hugeHeader =
      "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(64 * 1024, 'a') + "\r\n\r\n";
  EXPECT_EQ(HttpRequest(port, hugeHeader).find("200 OK"), std::string::npos); // refused, not served

  endpoint.Stop();
  EXPECT_EQ(HttpGet(port, "/health"), ""); // nothing listens any more
}

TEST(MetricsEndpoint, ListenAddressMustBeHostAndPort) {
  std::string host;
  int port = 0;
  EXPECT_TRUE(ParseListenAddress("localhost:9225", host, port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 9225);
  for (const char* bad : {"9225", "127.0.0.1", "127.0.0.1:", "127.0.0.1:70000", "host.example:9225", "1.2.3:80"})
    EXPECT_FALSE(ParseListenAddress(bad, host, port)) << bad;
  TMetricsEndpoint endpoint({[] { return std::string(); }, [] { return true; }});
  EXPECT_EQ(endpoint.Start("nowhere"), "MetricsListen 'nowhere' is not host:port");
  EXPECT_FALSE(endpoint.Running());
}
