#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "common/discovery/aMulticast.h"
#include "support/PrivateNetwork.h"

namespace {

uint32_t _group()
{
    in_addr group;
    inet_pton(AF_INET, "224.0.0.7", &group);
    return group.s_addr;
}

}  // namespace

TEST(aMulticast, MissingOrWrongEndpointIsRefused)
{
    char buffer[4] = {};
    EXPECT_EQ(aMulticast_Send(nullptr, buffer, sizeof buffer), -2);
    EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof buffer), -2);
    MulticastEndpoint* none = nullptr;
    EXPECT_EQ(aMulticast_Destroy(&none), -2);
    EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
}

TEST(aMulticast, LoopbackDatagramReachesTheReceiverOnce)
{
    PRIVATE_NETWORK_OR_RERUN();
    MulticastEndpoint* receiver = aMulticast_Create(0, _group(), 9870, false);
    MulticastEndpoint* sender = aMulticast_Create(0, _group(), 9870, true);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    char buffer[16];
    EXPECT_EQ(aMulticast_Send(receiver, "x", 1), -3);
    EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof buffer), -3);

    EXPECT_EQ(aMulticast_Send(sender, "ping", 4), 4);
    ASSERT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), 4);
    EXPECT_EQ(memcmp(buffer, "ping", 4), 0);
    // Nothing else arrives: the receive times out.
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), -1);

    EXPECT_EQ(aMulticast_Destroy(&sender), 0);
    EXPECT_EQ(sender, nullptr);
    EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
}

TEST(aMulticast, PortProbeSeesAReceiverThatBoundWithReuse)
{
    PRIVATE_NETWORK_OR_RERUN();
    EXPECT_TRUE(aMulticast_IsPortFree(9871));
    MulticastEndpoint* receiver = aMulticast_Create(0, _group(), 9871, false);
    ASSERT_NE(receiver, nullptr);
    // A second receiver shares the port (address reuse), so only the probe tells.
    MulticastEndpoint* second = aMulticast_Create(0, _group(), 9871, false);
    EXPECT_NE(second, nullptr);
    EXPECT_FALSE(aMulticast_IsPortFree(9871));
    aMulticast_Destroy(&second);
    aMulticast_Destroy(&receiver);
    EXPECT_TRUE(aMulticast_IsPortFree(9871));
}
