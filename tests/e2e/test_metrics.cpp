// The metrics endpoint of the running filter: a scrape after real traffic
// counts what happened, and promtool judges the text; /health answers.
#include "THttpGet.h"
#include "TRelayFixture.h"

#include <fstream>

using namespace quibo::test;

namespace {

class Scraped : public Relay {
protected:
  void Start() {
    Launch("MetricsListen=127.0.0.1:0\n", "[Debug]\nAcceptance=1\n");
    ASSERT_TRUE(Quibo->LogContains("Metrics endpoint listening on 127.0.0.1:")) << Quibo->MainLog();
    const std::string log = Quibo->MainLog();
    const auto at = log.find("Metrics endpoint listening on 127.0.0.1:");
    MetricsPort = std::atoi(log.c_str() + at + std::string("Metrics endpoint listening on 127.0.0.1:").size());
  }
  std::string Get(const std::string& path) { return HttpGet(MetricsPort, path); }
  int MetricsPort = 0;
};

double SampleValue(const std::string& text, const std::string& sample) {
  const auto at = text.find("\n" + sample + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + sample.size() + 2));
}

} // namespace

TEST_F(Scraped, AScrapeAfterTrafficCountsItAndPassesPromtool) {
  Start();
  EXPECT_EQ(Send("Subject: counted\r\n\r\nbody\r\n"), "250 Ok\r\n");
  Client->Command("MAIL FROM:<someone@far.example>");
  EXPECT_EQ(Client->Command("RCPT TO:<victim@far.example>").substr(0, 4), "550 ");
  Client->Command("QUIT");

  // The counters are taken one by one, so a scrape while the window thread counts can see a later one and miss
  // an earlier one: wait until a scrape has all three.
  std::string text;
  ASSERT_TRUE(WaitFor([&] {
    text = HttpBody(Get("/metrics"));
    return SampleValue(text, "quibo_recipients_refused_relay_total") == 1 &&
           SampleValue(text, "quibo_messages_total{outcome=\"relayed\"}") == 1 &&
           SampleValue(text, "quibo_relay_seconds_count") == 1;
  })) << text;
  EXPECT_EQ(SampleValue(text, "quibo_messages_total{outcome=\"relayed\"}"), 1);
  EXPECT_EQ(SampleValue(text, "quibo_messages_total{outcome=\"refused_virus\"}"), 0);
  EXPECT_EQ(SampleValue(text, "quibo_relay_seconds_count"), 1);
  EXPECT_GE(SampleValue(text, "quibo_connections_total{result=\"served\"}"), 2); // the start-up probe and the client
  EXPECT_EQ(SampleValue(text, "quibo_build_info{version=\"1.0.0.1\"}"), 1);

  const auto scrape = Home.path() / "scrape.txt";
  WriteFile(scrape, text);
  std::string verdict, problems;
  EXPECT_EQ(RunProgram({"sh", "-c", "promtool check metrics < " + scrape.string()}, &verdict, &problems), 0)
      << verdict << problems << text;
  EXPECT_EQ(verdict + problems, "");

  EXPECT_EQ(HttpBody(Get("/health")), "ok\n");
  EXPECT_EQ(Get("/nothing").substr(0, 12), "HTTP/1.1 404");
}
