// The filter with clamd as its scanner, through clamdscan.
#include "TPeerDaemons.h"
#include "TRelayTest.h"

#include <gtest/gtest.h>

using namespace quibo::test;

using ClamdRelay = TRelayTest;

TEST_F(ClamdRelay, EicarIsRefusedAndCleanMailPasses) {
  TClamd clamd;
  ASSERT_TRUE(clamd.Ready()) << clamd.Log();
  Launch("", "[VirusCheck]\nDoVirusCheck=1\nResultCode=1\nVirusProgram=clamdscan --fdpass --no-summary "
             "--config-file=\"" +
                 clamd.Config().string() + "\" \"%s\"\n");
  EXPECT_EQ(Send("Subject: test\r\n\r\n" + kEicar + "\r\n"),
            "541 Quibo dederazu says: Message cannot be accepted: Virus Found!\r\n");
  EXPECT_TRUE(Client->ClosedByServer());
  EXPECT_EQ(Send("Subject: clean\r\n\r\nnothing to see\r\n"), "250 Ok\r\n");
  ASSERT_EQ(NextHop.Mails().size(), 1u);
  EXPECT_NE(NextHop.Mails()[0].Data.find("Subject: clean"), std::string::npos);
  EXPECT_NE(clamd.Log().find("Eicar-Test-Signature"), std::string::npos) << clamd.Log();
}
