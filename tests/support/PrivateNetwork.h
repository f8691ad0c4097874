#pragma once
// Network tests that send multicast or broadcast (discovery, beacons) never run in
// the machine's own network namespace. Such a test begins with
//
//   TEST(Discovery, Answers) {
//       PRIVATE_NETWORK_OR_RERUN();   // outside: re-runs this test inside and checks it passed
//       ... test body, now inside the namespace ...
//   }
//
// Outside, the macro re-runs the current test alone under scripts/netns-run (a fresh
// namespace with lo up and the veth pair va = 192.0.2.1/24, vb) and reports the result
// of that run. Where network namespaces cannot be made, the test is skipped. A re-run
// that finds itself outside a private namespace (or beside eth0) refuses to run.
#include <gtest/gtest.h>

#include <string>

namespace testsupport {

// The address of the namespace's veth interface va, as text and in network byte order.
constexpr const char* kPrivateAddress = "192.0.2.1";
constexpr unsigned kPrivateAddressIPv4 = 0x010200C0;

// True when this process runs in a network namespace other than the one its test
// binary was started in, and that namespace has no eth0.
bool InPrivateNetwork();

// True when this process was started to run inside a private namespace.
bool RerunInPrivateNetwork();

// Whether this machine lets us create network namespaces; on false, why not.
bool PrivateNetworkAvailable(std::string& why);

// Re-runs the current test (by its full name) in this executable inside a private
// namespace; returns its exit status, -1 when it could not be run.
int RerunCurrentTestInPrivateNetwork(std::string& output);

// For a program (a benchmark) that must run inside a private namespace, called first
// thing in main: returns -1 when this process already runs inside one. Otherwise it
// replaces the process by itself with the same arguments inside a new namespace, or
// returns the exit status to end with: 0 (with a note) where namespaces cannot be made,
// 1 when a re-run finds itself outside one or the program cannot be re-run.
int RerunProgramInPrivateNetwork(char** argv);

}  // namespace testsupport

#define PRIVATE_NETWORK_OR_RERUN()                                                         \
    do {                                                                                   \
        if (!::testsupport::InPrivateNetwork()) {                                          \
            if (::testsupport::RerunInPrivateNetwork())                                    \
                FAIL() << "expected a private network namespace without eth0, "            \
                          "refusing to run the test here";                                 \
            std::string why_;                                                              \
            if (!::testsupport::PrivateNetworkAvailable(why_))                             \
                GTEST_SKIP() << "network namespaces unavailable (" << why_                 \
                             << "); this test never sends multicast outside one";          \
            std::string output_;                                                           \
            int status_ = ::testsupport::RerunCurrentTestInPrivateNetwork(output_);        \
            EXPECT_EQ(status_, 0) << "inside the private network namespace:\n" << output_; \
            return;                                                                        \
        }                                                                                  \
    } while (0)
