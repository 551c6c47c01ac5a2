// The filter with clamd as its scanner, through clamdscan.
#include "TPeerDaemons.h"
#include "TRelayFixture.h"

#include <gtest/gtest.h>

using namespace quibo::test;

using ClamdRelay = Relay;

TEST_F(ClamdRelay, EicarIsRefusedAndCleanMailPasses) {
  TClamd clamd;
  ASSERT_TRUE(clamd.Ready()) << clamd.Log();
  ExpectEicarRefusedAndCleanMailRelayed("clamdscan --fdpass --no-summary --config-file=\"" + clamd.Config().string() +
                                        "\" \"%s\"");
  EXPECT_NE(clamd.Log().find("Eicar-Test-Signature"), std::string::npos) << clamd.Log();
}
