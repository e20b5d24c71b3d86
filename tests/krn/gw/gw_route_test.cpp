// Route strings as the gateway reads them: the number of hops and the last
// hop, over NI's split of a route into hops.
#include <gtest/gtest.h>

#include <string>

#include "krn/dptrc/err.h"
#include "krn/gw/gw.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using tovtest::ToUtf8;

class GwRoute : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ThrProcInit(), THR_ERR_OK); }
};

TEST_F(GwRoute, HopsAndTheLastHop) {
  struct Case {
    const char16_t* route;
    int hops;
    const char* host;
    const char* service;
  };
  const Case cases[] = {
      {u"/H/gw1", 1, "gw1", ""},
      {u"/H/gw1/S/3300", 1, "gw1", "3300"},
      {u"/H/router/H/gw2/S/3301", 2, "gw2", "3301"},
      {u"/H/r1/S/3299/P/secret/H/r2/W/pw/H/gw3", 3, "gw3", ""},
      {u"plainhost", 1, "plainhost", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.route));
    EXPECT_EQ(GwRouteNoHops(c.route), c.hops);
    NI_ROUTE_ENTRY last{};
    ASSERT_EQ(GwRouteGetLastHop(c.route, &last), 0);
    EXPECT_EQ(ToUtf8(last.host), c.host);
    EXPECT_EQ(ToUtf8(last.service), c.service);
  }
}

TEST_F(GwRoute, FailuresOfTheHelpers) {
  NI_ROUTE_ENTRY last{};
  EXPECT_EQ(GwRouteNoHops(nullptr), -1);
  EXPECT_EQ(GwRouteGetLastHop(nullptr, &last), -1);
  EXPECT_EQ(GwRouteGetLastHop(u"/H/gw", nullptr), -1);
  // A route too long for the router message has no hops to give.
  std::u16string huge = u"/H/" + std::u16string(10001, u'h');
  EXPECT_EQ(GwRouteNoHops(huge.c_str()), -1);
  EXPECT_EQ(GwRouteGetLastHop(huge.c_str(), &last), 740);
}

// The table's rows: hosts cut to 59 units and services to 29, characters
// outside 7 bits as '#', the last rows of a longer route, the count alone.
TEST_F(GwRoute, TableRowsOfTheSplit) {
  std::u16string longHost(70, u'x');
  std::u16string route = u"/H/a/H/b/S/1/H/" + longHost + u"/H/d\u00e9/S/" + std::u16string(40, u'9');
  int count = 0;
  ASSERT_EQ(NiRouteToTable(&count, route.c_str(), nullptr, 0), WEQ_O_K);
  EXPECT_EQ(count, 4);
  NI_ROUTE_ENTRY rows[2];
  ASSERT_EQ(NiRouteToTable(&count, route.c_str(), rows, 2), WEQ_O_K);
  EXPECT_EQ(ToUtf8(rows[0].host), std::string(59, 'x'));
  EXPECT_EQ(ToUtf8(rows[0].service), "3299");
  EXPECT_EQ(ToUtf8(rows[1].host), "d#");
  EXPECT_EQ(ToUtf8(rows[1].service), std::string(29, '9'));
  EXPECT_EQ(NiRouteToTable(nullptr, route.c_str(), nullptr, 0), NIEINVAL);
  EXPECT_EQ(NiRouteToTable(&count, route.c_str(), nullptr, 1), NIEINVAL);
  EXPECT_EQ(NiRouteToTable(&count, route.c_str(), rows, -1), NIEINVAL);
}

}  // namespace
