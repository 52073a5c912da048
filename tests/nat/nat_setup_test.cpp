// The five-minute NAT re-check and the start-up mapping rule, with the network steps faked.

#include <gtest/gtest.h>

#include "common/log_capture.h"
#include "engine/core/engine_env.h"
#include "engine/nat/nat_setup.h"
#include "engine/nat/stun.h"
#include "engine/platform/deploy_config.h"

namespace tessali::nat {
namespace {

struct Recheck {
    bool privateAddress = true;
    int mapResult = -1;
    int detected = kNatSymmetric;
    int maps = 0, detects = 0, logins = 0;

    NatRecheckSteps Steps() {
        NatRecheckSteps s;
        s.addressIsPrivate = [this] { return privateAddress; };
        s.mapPort = [this] {
            ++maps;
            return mapResult;
        };
        s.detectType = [this] {
            ++detects;
            core::Host().natType = static_cast<uint32_t>(detected);
            return detected;
        };
        s.logInAgain = [this] { ++logins; };
        return s;
    }
};

TEST(NatRecheck, PrivateAddressWithFailedMappingDetectsAgain) {
    test::LogCapture log;
    core::Host().natType = kNatPortRestrictedCone;
    Recheck r;  // detection now finds a symmetric NAT
    NatRecheck(r.Steps());
    EXPECT_EQ(r.maps, 1);
    EXPECT_EQ(r.detects, 1);
    EXPECT_EQ(r.logins, 1);
    EXPECT_EQ(core::Host().natType, static_cast<uint32_t>(kNatSymmetric));
    EXPECT_TRUE(log.Contains("Cur nattype:4!!!\n"));

    // The same type again: no new login.
    NatRecheck(r.Steps());
    EXPECT_EQ(r.detects, 2);
    EXPECT_EQ(r.logins, 1);
}

TEST(NatRecheck, SuccessfulMappingOrPublicAddressMakesTheHostReachable) {
    core::Host().natType = kNatPortRestrictedCone;
    Recheck mapped;
    mapped.mapResult = 0;
    NatRecheck(mapped.Steps());
    EXPECT_EQ(mapped.detects, 0);
    EXPECT_EQ(mapped.logins, 1);
    EXPECT_EQ(core::Host().natType, 0u);
    // Already reachable: nothing to tell the tracker.
    NatRecheck(mapped.Steps());
    EXPECT_EQ(mapped.logins, 1);

    core::Host().natType = kNatSymmetricFirewall;
    Recheck open;
    open.privateAddress = false;
    NatRecheck(open.Steps());
    EXPECT_EQ(open.maps, 0);  // a public address is not mapped
    EXPECT_EQ(open.logins, 1);
    EXPECT_EQ(core::Host().natType, 0u);
}

TEST(NatSetup, FixedNatTypeIsNeitherMappedNorRechecked) {
    platform::DeployConfig fixed;
    fixed.natType = 3;
    platform::SetDeploy(fixed);
    core::Host().natType = 3;
    EXPECT_EQ(MapListenPort(), 1);
    int logins = 0;
    NatRecheck([&] { ++logins; });
    EXPECT_EQ(logins, 0);
    EXPECT_EQ(core::Host().natType, 3u);

    // Detected as reachable: no mapping is attempted either.
    platform::SetDeploy({});
    core::Host().natType = 0;
    EXPECT_EQ(MapListenPort(), 1);
}

}  // namespace
}  // namespace tessali::nat
