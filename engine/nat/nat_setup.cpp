#include "engine/nat/nat_setup.h"

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/nat/lan_search.h"
#include "engine/nat/stun.h"
#include "engine/nat/upnp.h"
#include "engine/platform/deploy_config.h"

namespace tessali::nat {
namespace {

bool NatTypeFixed() {
    return platform::Deploy().natType.has_value();
}

}  // namespace

void StartNat() {
    if (!CUpnp::Instance().Prepare(core::Host().localAddress)) {
        core::EngineLog(core::kLogDebug, "upnp prepare fail!!\n");
    }
    if (!NatTypeFixed()) {
        DetectNatType();
    }
}

int MapListenPort() {
    if (NatTypeFixed() || core::Host().natType == kNatOpen) {
        return 1;
    }
    int result = CUpnp::Instance().SearchAndMap(core::Host().listenPort);
    if (result == 0) {
        core::Host().natType = kNatOpen;
    }
    return result;
}

void StopNat() {
    CUpnp::Destroy();  // its destructor shuts it down
    CLanSearch::Destroy();
}

void NatRecheck(const NatRecheckSteps& steps) {
    if (steps.addressIsPrivate() && steps.mapPort() == -1) {
        uint32_t before = core::Host().natType;
        if (static_cast<uint32_t>(steps.detectType()) != before) {
            steps.logInAgain();
        }
    } else if (core::Host().natType != kNatOpen) {
        core::Host().natType = kNatOpen;
        steps.logInAgain();
    }
    core::EngineLog(core::kLogPlain, "Cur nattype:%d!!!\n", static_cast<int>(core::Host().natType.load()));
}

void NatRecheck(std::function<void()> logInAgain) {
    if (NatTypeFixed()) {
        return;
    }
    NatRecheckSteps steps;
    steps.addressIsPrivate = [] { return core::IsSpecialAddress(core::Host().localAddress); };
    steps.mapPort = [] { return CUpnp::Instance().SearchAndMap(core::Host().listenPort); };
    steps.detectType = [] { return DetectNatType(); };
    steps.logInAgain = std::move(logInAgain);
    NatRecheck(steps);
}

}  // namespace tessali::nat
