#pragma once
// Network tests that send multicast or broadcast (discovery, beacons) must never
// run in the machine's own network namespace. A test begins with
//
//     if (!testsupport::EnterPrivateNetworkNamespace())
//         return;
//
// The first call re-runs the current test alone under scripts/netns-run (a fresh
// namespace with lo up and the veth pair va = 192.0.2.1/24, vb) and reports the
// result of that run; inside the namespace it returns true and the body runs.

namespace testsupport {

// The address of the namespace's veth interface va, as text and in network byte order.
constexpr const char* kNetnsInterfaceText = "192.0.2.1";
constexpr unsigned kNetnsInterface = 0x010200C0;

// True when the body should run here: this process is inside a private namespace
// made for it. False when the body ran in a child (its failures are reported
// here) or when the namespace check failed (recorded as a failure).
bool EnterPrivateNetworkNamespace();

// True when this process runs in a network namespace other than the one its
// test binary was started in, and that namespace has no eth0.
bool InPrivateNetworkNamespace();

}  // namespace testsupport
