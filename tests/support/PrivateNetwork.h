#pragma once
// Running a test inside a private network namespace (scripts/netns-run): loopback
// up and a veth pair with va = 192.0.2.1/24. Multicast and broadcast from such a
// test can never leave the machine.
//
//   TEST(Discovery, Answers) {
//       PRIVATE_NETWORK_OR_RERUN();   // outside: re-runs this test inside and checks it passed
//       ... test body, now inside the namespace ...
//   }
#include <gtest/gtest.h>

#include <string>

namespace TestSupport {

// Address of the namespace's veth end "va".
constexpr const char* kPrivateAddress = "192.0.2.1";

// True when this process runs inside the private namespace of scripts/netns-run.
bool InPrivateNetwork();

// Whether this machine lets us create network namespaces; on false, why not.
bool PrivateNetworkAvailable(std::string& why);

// Re-runs the current test (by its full name) in this executable inside a
// private namespace; returns its exit status, -1 when it could not be run.
int RerunCurrentTestInPrivateNetwork(std::string& output);

}  // namespace TestSupport

#define PRIVATE_NETWORK_OR_RERUN()                                                               \
    do {                                                                                         \
        if (!::TestSupport::InPrivateNetwork()) {                                                \
            std::string why_;                                                                    \
            if (!::TestSupport::PrivateNetworkAvailable(why_))                                   \
                GTEST_SKIP() << "network namespaces unavailable (" << why_                       \
                             << "); this test never sends multicast outside one";                \
            std::string output_;                                                                 \
            int status_ = ::TestSupport::RerunCurrentTestInPrivateNetwork(output_);              \
            EXPECT_EQ(status_, 0) << "inside the private network namespace:\n" << output_;       \
            return;                                                                              \
        }                                                                                        \
    } while (0)
