// ServerAddressList and ReadServerEndpoint against a real TWPMSvr.
#include "settings/server_address.h"

#include <gtest/gtest.h>

#include "settings/property_file_client.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

class ServerAddressTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }

  std::string Get(const std::string& key) {
    PropertyFileClient client("", kStoreGlobal);
    std::string value = "<absent>";
    client.ReadString(nullptr, std::string(kGlobalPropertiesNode) + "/" + key, &value, false);
    return value;
  }
  void Put(const std::string& key, const std::string& value) {
    PropertyFileClient client("", kStoreGlobal);
    ASSERT_TRUE(
        client.WriteString(nullptr, std::string(kGlobalPropertiesNode) + "/" + key, value, false));
  }

  test::TestEnv env_;
  test::PropertyServer server_;
};

TEST_F(ServerAddressTest, HistoryLoadsAsASetAndIsWrittenBackSorted) {
  Put(kPreviousAddressesKey, "b;a;b");
  Put(kServerAddressKey, "a");
  Put(kServerPortKey, "4711");
  {
    ServerAddressList list;
    EXPECT_EQ(list.GetServerAddresses(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(list.port(), 4711);
    EXPECT_EQ(list.SetServerAddress("c.example"), 0);
    EXPECT_EQ(Get(kServerAddressKey), "c.example");
    list.SetServerPort(99);
  }
  EXPECT_EQ(Get(kPreviousAddressesKey), "a;b;c.example");
  EXPECT_EQ(Get(kServerPortKey), "99");
  EXPECT_FALSE(test::ReadFile(env_.Path("global/global.dat")).empty());
}

TEST_F(ServerAddressTest, BlankOrUnchangedAddressWritesNothing) {
  // Blanks are spaces and tabs.
  for (const char* blanks : {"   ", "\t", " \t "}) {
    Put(kServerAddressKey, blanks);
    {
      ServerAddressList list;
      EXPECT_EQ(list.current_address(), "");
      EXPECT_EQ(list.port(), 0);
      EXPECT_TRUE(list.GetServerAddresses().empty());
    }
    EXPECT_EQ(Get(kPreviousAddressesKey), "<absent>");
  }

  Put(kServerAddressKey, "host");
  ServerAddressList list;
  Put(kServerAddressKey, "changed behind its back");
  EXPECT_EQ(list.SetServerAddress("host"), 1);
  EXPECT_EQ(Get(kServerAddressKey), "changed behind its back");
}

TEST_F(ServerAddressTest, EndpointIsReadOncePerProcess) {
  Put(kServerAddressKey, "10.0.0.1");
  Put(kServerPortKey, "70000");
  const ServerEndpoint first = ReadServerEndpoint();
  EXPECT_EQ(first.address, "10.0.0.1");
  EXPECT_EQ(first.port, 0);  // refused, not wrapped to 4464
  Put(kServerAddressKey, "10.0.0.2");
  EXPECT_EQ(ReadServerEndpoint().address, "10.0.0.1");
}

TEST_F(ServerAddressTest, EndpointOfOnlyBlanksIsNoAddress) {
  Put(kServerAddressKey, " \t  ");
  Put(kServerPortKey, "4464");
  const ServerEndpoint endpoint = ReadServerEndpoint();
  EXPECT_EQ(endpoint.address, "");
  EXPECT_EQ(endpoint.port, 4464);
}

}  // namespace
}  // namespace tw
