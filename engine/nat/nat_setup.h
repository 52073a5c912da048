// How the engine uses its NAT components: at start-up (UPnP preparation, NAT-type detection, and
// the port mapping once the listen port is known), in the five-minute re-check of the
// CommonRoutine, and at shut-down. A NAT type fixed by the deployment file is left alone: no
// detection and no mapping change it. Called from the start-up thread and the CommonRoutine.
#pragma once

#include <cstdint>
#include <functional>

namespace tessali::nat {

// Prepares UPnP with the host's local address and, unless the deployment fixes the NAT type,
// detects it with the configured STUN servers.
void StartNat();
// After the listen sockets are open: when the NAT type is not 0, maps the listen port; a
// successful mapping makes the NAT type 0. The search's result (0 or -1; 1 when nothing ran).
int MapListenPort();
// UPnP shut-down and the end of the NAT singletons (UPnP, LAN search).
void StopNat();

// The steps of the re-check, replaceable for tests.
struct NatRecheckSteps {
    std::function<bool()> addressIsPrivate;
    std::function<int()> mapPort;     // 0 mapped, -1 failed
    std::function<int()> detectType;  // stores and returns the new NAT type
    std::function<void()> logInAgain;
};

// The re-check: with a private local address and a failed mapping, detects the NAT type again
// and logs in again when it changed; otherwise (public address or mapping done) makes the NAT
// type 0, logging in again when it was not. Logs "Cur nattype:%d!!!\n".
void NatRecheck(const NatRecheckSteps& steps);
// The same with the real components. `logInAgain` is the tracker agent's new login.
void NatRecheck(std::function<void()> logInAgain);

}  // namespace tessali::nat
