// CPeerEngine: the peer layer assembled — dispatch manager, message pool, limit layer and
// message handler over the process-wide sockets, reliable UDP and task manager — and the work
// of the engine routines (the P2P pass, the pacing pass, the rate window and the one-second
// pass, the listening sockets). EngineInit starts it and registers it as the routine work and
// the peer connector; EngineUninit stops it. Tests build private instances over their own parts.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "engine/core/routines.h"
#include "engine/core/task_wire.h"
#include "engine/net/dispatch_mgr.h"
#include "engine/net/msg_handle.h"
#include "engine/net/msg_limit_layer.h"
#include "engine/net/msg_pool.h"

namespace tessali::net {

class CPeerEngine : public core::IRoutineWork {
public:
    CPeerEngine(core::ITaskWire& tasks, CThreadMgr& sockets, CTudpInterface& rudp, CFragmentPool& queue1,
                CFragmentPool& queue2);
    ~CPeerEngine() override;

    bool Start();
    void Stop();

    // The source layers' one-second work (not owned; nullptr removes it).
    void SetAnnouncePass(IAnnouncePass* pass) { m_announce.store(pass); }
    // Opens the listening sockets on `port` (host order) straight away; 0 picks any (tests).
    uint16_t ListenOn(uint16_t port);
    // The UDP port (host order) whose socket belongs to the tracker agent, which hands this
    // engine's reliable-UDP datagrams on; no carrier listener of our own is opened there. 0: none.
    void SetSharedUdpPort(uint16_t port) { m_sharedUdpPort.store(port); }
    // Moves that socket to the chosen listening port (host order); true when it is bound there.
    // Set before the listening sockets open, so that the socket that carries logins and
    // reliable UDP is the one on the port the logins announce.
    void SetSharedUdpMover(std::function<bool(uint16_t)> mover) { m_moveSharedUdp = std::move(mover); }

    // IRoutineWork
    uint16_t OpenListenSockets() override;
    void SendPass() override;
    void WaitSendWork() override;
    void P2pPass(uint32_t timeoutMs) override;
    void RateWindowStep() override;
    void SecondTick() override;
    double DownloadRate() override { return m_pool.Speed(Direction::kDownload); }
    double UploadRate() override { return m_pool.Speed(Direction::kUpload); }

    CDispatchMgr& Dispatch() { return m_dispatch; }
    CMsgPool& Pool() { return m_pool; }
    CMsgLimitLayer& Limits() { return m_limits; }
    CMsgHandle& Handler() { return m_handle; }

private:
    void OpenCarrierListener(uint16_t port);

    CDispatchMgr m_dispatch;
    CMsgPool m_pool;
    CMsgLimitLayer m_limits;
    CMsgHandle m_handle;
    std::atomic<IAnnouncePass*> m_announce{nullptr};
    std::atomic<uint16_t> m_sharedUdpPort{0};
    std::function<bool(uint16_t)> m_moveSharedUdp;
    CThreadMgr& m_sockets;
};

// The process-wide peer layer over the process-wide sockets and task manager: made by the
// engine's start-up, destroyed by its shut-down (after the routines stopped). Null outside.
CPeerEngine* CreatePeerEngine();
CPeerEngine* PeerEngine();
void DestroyPeerEngine();

}  // namespace tessali::net
