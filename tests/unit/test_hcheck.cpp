// The HCheck adapter's readers of SpamAssassin's and rspamd's answers, its
// view of the stored message, its settings and its child runner.
#include "TTempFolder.h"
#include "UAdapterSettings.h"
#include "UChildProcess.h"
#include "UDotStuffing.h"
#include "UHeurastic.h"
#include "URspamd.h"
#include "USpamAssassin.h"
#include "UWireMessage.h"

#include <gtest/gtest.h>

using namespace quibo;
using namespace quibo::hcheck;
using namespace quibo::test;

TEST(HCheckAnswers, SpamcReportGivesTheScoreAndTheRulesOfItsTable) {
  const std::string report = "1002.7/5.0\n"
                             "Spam detection software, running on the system \"vm\",\n"
                             "Content preview:  Win 1000 FREE now\n"
                             "   1000 NOT_A_ROW in the preview\n\n"
                             "Content analysis details:   (1002.7 points, 5.0 required)\n\n"
                             " pts rule name              description\n"
                             "---- ---------------------- --------------------------------------------------\n"
                             "1000 GTUBE                  BODY: Generic Test for Unsolicited Bulk Email\n"
                             " 2.7 MISSING_DATE           Missing Date: header\n"
                             "                            10 LOOKS_LIKE_A_ROW but goes on\n"
                             "-0.0 NO_RECEIVED            Informational: message has no Received headers\n";
  const auto score = ParseSpamcReport(report);
  ASSERT_TRUE(score);
  EXPECT_EQ(score->Score, "1002.7");
  EXPECT_EQ(score->Tests, (std::vector<std::string>{"GTUBE", "MISSING_DATE", "NO_RECEIVED"}));

  EXPECT_FALSE(ParseSpamcReport("0/0\n"));                              // spamd did not check it (too large)
  EXPECT_FALSE(ParseSpamcReport(""));                                   // nothing at all
  EXPECT_FALSE(ParseSpamcReport("high/5.0\n"));                         // no number
  EXPECT_FALSE(ParseSpamcReport("3.0/5.0\n---- --\n1.0 BAD-NAME x\n")); // not a rule name
}

TEST(HCheckAnswers, ScoreHeaderIsReadFromTheHeadersOnly) {
  const auto folded = ParseScoreHeader("X-Spam-Flag: YES\nx-spam-hcheck: 7.1|RULE_B,\n\tRULE_A,RULE_B|\nSubject: s\n\n"
                                       "X-Spam-HCheck: 99|FORGED|\n");
  ASSERT_TRUE(folded);
  EXPECT_EQ(folded->Score, "7.1");
  EXPECT_EQ(folded->Tests, (std::vector<std::string>{"RULE_A", "RULE_B"}));
  const auto none = ParseScoreHeader("X-Spam-HCheck: -0.5|none|\r\n\r\n");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->Score, "-0.5");
  EXPECT_TRUE(none->Tests.empty());
  EXPECT_FALSE(ParseScoreHeader("Subject: s\n\nX-Spam-HCheck: 99|FORGED|\n"));
  EXPECT_FALSE(ParseScoreHeader("X-Spam-HCheck: 5|A|extra|\n\n"));
  EXPECT_FALSE(ParseScoreHeader("X-Spam-HCheck: 5,5|A|\n\n"));
}

TEST(HCheckAnswers, LearnSummaryAndMagicDump) {
  const auto learned = ParseLearnSummary("Learned tokens from 2 message(s) (3 message(s) examined)\n");
  ASSERT_TRUE(learned);
  EXPECT_EQ(learned->Learned, 2);
  EXPECT_EQ(learned->Total, 3);
  EXPECT_FALSE(ParseLearnSummary("ERROR: the Bayes learn function returned an error\n"));

  const auto dump = ParseMagicDump("0.000 0 3 0  non-token data: nspam\n0.000 0 1 0  non-token data: nham\r\n"
                                   "0.000 0 21 0  non-token data: ntokens\x1b\n");
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->size(), 3u);
  EXPECT_EQ((*dump)[1], "0.000 0 1 0  non-token data: nham");
  EXPECT_EQ((*dump)[2], "0.000 0 21 0  non-token data: ntokens\\x1B");
  EXPECT_FALSE(ParseMagicDump("ERROR: Bayes dump returned an error\n"));
}

TEST(HCheckRspamdAnswers, CheckAnswerGivesTheScoreAndTheSymbolNamesSorted) {
  const auto plain =
      ParseCheckAnswer(R"({"is_skipped":false,"score":3.400000,"required_score":15.0,"action":"no action","symbols":{)"
                       R"("MIME_GOOD":{"name":"MIME_GOOD","score":-0.100000,"options":["text/plain"]},)"
                       R"("DATE_IN_PAST":{"name":"DATE_IN_PAST","score":1.0},"ARC_NA":{"name":"ARC_NA","score":0.0}},)"
                       R"("messages":{},"message-id":"lunch@example.com","time_real":0.2})");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->Score, "3.4");
  EXPECT_EQ(plain->Tests, (std::vector<std::string>{"ARC_NA", "DATE_IN_PAST", "MIME_GOOD"}));

  const auto gtube = ParseCheckAnswer(R"({"is_skipped":true,"score":15.0,"action":"reject",)"
                                      R"("symbols":{"GTUBE":{"name":"GTUBE","score":0.0}}})");
  ASSERT_TRUE(gtube);
  EXPECT_EQ(gtube->Score, "15");
  EXPECT_EQ(gtube->Tests, std::vector<std::string>{"GTUBE"});
  const auto negative = ParseCheckAnswer(R"({"score":-0.126,"symbols":{}})");
  ASSERT_TRUE(negative);
  EXPECT_EQ(negative->Score, "-0.13");
  EXPECT_TRUE(negative->Tests.empty());
  EXPECT_EQ(ParseCheckAnswer(R"({"score":-0.001,"symbols":{}})")->Score, "0");

  EXPECT_FALSE(ParseCheckAnswer("<html>Bad gateway</html>"));
  EXPECT_FALSE(ParseCheckAnswer(R"({"error":"cannot parse message"})"));
  EXPECT_FALSE(ParseCheckAnswer(R"({"score":"high","symbols":{}})"));
  EXPECT_FALSE(ParseCheckAnswer(R"({"score":1e12,"symbols":{}})"));
  EXPECT_FALSE(ParseCheckAnswer(R"({"score":2,"symbols":{"A|B":{}}})")); // would break "score|tests|"
  EXPECT_FALSE(ParseCheckAnswer(R"({"score":2,"symbols":{"A,B":{}}})"));
  EXPECT_FALSE(ParseCheckAnswer(R"([{"score":2,"symbols":{}}])"));
}

TEST(HCheckRspamdAnswers, LearnAnswersAndTheirFailures) {
  EXPECT_EQ(ReadLearnAnswer({200, R"({"success":true})"}), TLearnOutcome::Learned);
  EXPECT_EQ(ReadLearnAnswer({208, R"({"error":"<a@b> has been already learned as ham, ignore it"})"}),
            TLearnOutcome::AlreadyLearned);
  EXPECT_EQ(ReadLearnAnswer({204, ""}), TLearnOutcome::Skipped);
  EXPECT_FALSE(ReadLearnAnswer({200, R"({"success":false})"}));
  EXPECT_FALSE(ReadLearnAnswer({200, "yes"}));
  EXPECT_FALSE(ReadLearnAnswer({403, R"({"error":"Unauthorized"})"}));
  EXPECT_FALSE(ReadLearnAnswer({500, ""}));

  EXPECT_EQ(AnswerFailure({403, R"({"error":"Unauthorized"})"}), "HTTP 403: Unauthorized");
  EXPECT_EQ(AnswerFailure({502, "bad\r\ngateway\x1b"}), "HTTP 502: bad  gateway\\x1B");
  EXPECT_EQ(AnswerFailure({404, ""}), "HTTP 404");
  EXPECT_LE(AnswerFailure({500, std::string(5000, 'x')}).size(), 310u);
}

TEST(HCheckRspamdAnswers, StatisticsBecomeTheLinesTheFilterReads) {
  const auto lines = ParseStatAnswer(
      R"({"version":"3.4","learned":5,"statfiles":[)"
      R"({"revision":2,"used":120,"total":120,"symbol":"BAYES_SPAM","type":"redis","languages":0,"users":1},)"
      R"({"revision":1,"used":40,"total":40,"symbol":"BAYES_HAM","type":"redis","languages":0,"users":1}],)"
      R"("total_learns":3})");
  ASSERT_TRUE(lines);
  const TClassifierStatistics statistics = ParseStatistics(*lines);
  EXPECT_EQ(statistics.Spam, "2");
  EXPECT_EQ(statistics.Ham, "1");
  EXPECT_EQ(statistics.Tokens, "160");
  const auto empty = ParseStatAnswer(R"({"statfiles":[{"revision":0,"used":0,"symbol":"BAYES_SPAM"},)"
                                     R"({"revision":0,"used":0,"symbol":"BAYES_HAM"}]})");
  ASSERT_TRUE(empty);
  EXPECT_EQ(ParseStatistics(*empty).Spam, "0");
  EXPECT_EQ(ParseStatistics(*empty).Tokens, "0");

  EXPECT_FALSE(ParseStatAnswer(R"({"statfiles":[]})")); // no Bayes classifier configured
  EXPECT_FALSE(ParseStatAnswer(R"({"statfiles":[{"revision":3,"symbol":"BAYES_SPAM"}]})"));
  EXPECT_FALSE(ParseStatAnswer(R"({"error":"Unauthorized"})"));
  EXPECT_FALSE(ParseStatAnswer("not json"));
}

TEST(HCheckMessage, WireFormIsUnstuffedWithoutTheFinalDot) {
  EXPECT_EQ(UnstuffedMessage("A: b\r\n\r\n..one\r\n.\r\nx\r\n...\r\n.\r\n"), "A: b\r\n\r\n.one\r\n\r\nx\r\n..\r\n");
  EXPECT_EQ(UnstuffedMessage("A: b\n\nbody\n.\n"), "A: b\n\nbody\n");
  EXPECT_EQ(UnstuffedMessage("A: b\r\n\r\nno end"), "A: b\r\n\r\nno end");
  EXPECT_EQ(UnstuffedMessage(".\r\n"), "");

  TTempFolder folder;
  WriteFile(folder.path() / "big", std::string(100, 'x'));
  EXPECT_THROW(ReadStoredMessage(folder.path() / "big", 99), std::runtime_error);
  EXPECT_THROW(ReadStoredMessage(folder.path() / "missing", 99), std::runtime_error);
  std::filesystem::create_directories(folder.path() / "sub");
  WriteFile(folder.path() / "small", "S: x\r\n\r\n..y\r\n.\r\n");
  std::filesystem::path copies;
  {
    const TLearningCopies learning(folder.path(), 99);
    copies = learning.Folder();
    EXPECT_EQ(learning.Count(), 1u);
    EXPECT_EQ(learning.SkippedCount(), 1u);
    ASSERT_EQ(FilesIn(copies).size(), 1u);
    EXPECT_EQ(ReadFile(FilesIn(copies)[0]), "S: x\r\n\r\n.y\r\n");
  }
  EXPECT_FALSE(std::filesystem::exists(copies));
}

TEST(HCheckSettings, FileBesideTheProgramOverridesTheDefaults) {
  TTempFolder folder;
  TAdapterSettings defaults = LoadAdapterSettings(folder.path());
  EXPECT_EQ(defaults.Spamd.Text(), "127.0.0.1:783");
  EXPECT_EQ(defaults.BayesPath, folder.path() / "bayes" / "bayes");
  EXPECT_EQ(defaults.Spamc, "spamc");

  WriteFile(folder.path() / kSettingsFile, "[spamassassin]\nSpamd=/run/spamd.sock\nBayesPath=db/b\n"
                                           "SaLearn=bin/sa-learn\nScoreTimeout=x\nLearnTimeout=60\n");
  const TAdapterSettings set = LoadAdapterSettings(folder.path());
  EXPECT_EQ(set.Spamd.SocketPath, "/run/spamd.sock");
  EXPECT_EQ(set.BayesPath, folder.path() / "db" / "b");
  EXPECT_EQ(set.SaLearn, (folder.path() / "bin" / "sa-learn").string());
  EXPECT_EQ(set.ScoreTimeout, defaults.ScoreTimeout);
  EXPECT_EQ(set.LearnTimeout, std::chrono::seconds(60));

  EXPECT_TRUE(ParseSpamdAddress("Off").Off());
  EXPECT_TRUE(ParseSpamdAddress("").Off());
  EXPECT_EQ(ParseSpamdAddress("spam.local").Text(), "spam.local:783");
  EXPECT_EQ(ParseSpamdAddress("127.0.0.1:7830").Port, 7830);
}

TEST(HCheckSettings, RspamdBackendAndItsSection) {
  TTempFolder folder;
  const TAdapterSettings defaults = LoadAdapterSettings(folder.path());
  EXPECT_EQ(defaults.Backend, TBackend::SpamAssassin);
  EXPECT_EQ(defaults.Rspamd.Url, "http://127.0.0.1:11333");
  EXPECT_EQ(defaults.Rspamd.ControllerUrl, "http://127.0.0.1:11334");
  EXPECT_TRUE(defaults.Rspamd.Password.empty());

  WriteFile(folder.path() / kSettingsFile, "[HCheck]\nBackend=Rspamd\n[Rspamd]\nUrl=http://10.0.0.5:11333/\n"
                                           "ControllerUrl=http://10.0.0.5:11334\nPassword=q1 secret\nTimeout=7\n");
  const TAdapterSettings set = LoadAdapterSettings(folder.path());
  EXPECT_EQ(set.Backend, TBackend::Rspamd);
  EXPECT_EQ(set.Rspamd.Url, "http://10.0.0.5:11333");
  EXPECT_EQ(set.Rspamd.ControllerUrl, "http://10.0.0.5:11334");
  EXPECT_EQ(set.Rspamd.Password, "q1 secret");
  EXPECT_EQ(set.Rspamd.Timeout, std::chrono::seconds(7));

  WriteFile(folder.path() / kSettingsFile, "[HCheck]\nBackend=spamassassin\n[Rspamd]\nTimeout=-3\n");
  EXPECT_EQ(LoadAdapterSettings(folder.path()).Backend, TBackend::SpamAssassin);
  EXPECT_EQ(LoadAdapterSettings(folder.path()).Rspamd.Timeout, defaults.Rspamd.Timeout);
}

TEST(HCheckChild, OutputIsBoundedAndFailuresSayWhy) {
  const TRunResult flood = RunChild({"sh", "-c", "head -c 100000 /dev/zero; echo done >&2"}, std::nullopt,
                                    {std::chrono::seconds(20), 1000, 100});
  EXPECT_TRUE(flood.Succeeded());
  EXPECT_EQ(flood.Output.size(), 1000u);
  EXPECT_TRUE(flood.OutputCut);
  EXPECT_EQ(flood.Errors, "done\n");

  const TRunResult echo = RunChild({"cat"}, "line one\nline two\n", {});
  EXPECT_EQ(echo.Output, "line one\nline two\n");

  EXPECT_EQ(ChildFailure(RunChild({"sh", "-c", "echo first >&2; echo last >&2; exit 4"}, std::nullopt, {})),
            "exit code 4: last");
  EXPECT_EQ(ChildFailure(RunChild({"sh", "-c", "kill -9 $$"}, std::nullopt, {})), "killed by signal 9");
  EXPECT_EQ(ChildFailure(RunChild({"/nonexistent/program"}, std::nullopt, {})),
            "cannot start: No such file or directory");
  const TRunResult slow = RunChild({"sh", "-c", "sleep 30"}, std::nullopt, {std::chrono::milliseconds(200)});
  EXPECT_EQ(ChildFailure(slow), "did not finish in time");
  EXPECT_FALSE(slow.Succeeded());
}
