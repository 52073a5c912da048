#include "engine/net/peer_engine.h"

#include <mutex>

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/task_mgr.h"
#include "engine/net/listen_port.h"
#include "engine/net/net_engine.h"

namespace tessali::net {

CPeerEngine::CPeerEngine(core::ITaskWire& tasks, CThreadMgr& sockets, CTudpInterface& rudp,
                         CFragmentPool& queue1, CFragmentPool& queue2)
    : m_dispatch(sockets, rudp, queue1, queue2),
      m_handle(tasks, m_dispatch, m_pool, m_limits),
      m_sockets(sockets) {}

CPeerEngine::~CPeerEngine() = default;

bool CPeerEngine::Start() {
    return m_dispatch.Start();
}

void CPeerEngine::Stop() {
    m_dispatch.Stop();
    m_limits.Clear();
}

uint16_t CPeerEngine::ListenOn(uint16_t port) {
    int tcp = m_dispatch.Listen(1, port);
    if (tcp < 0) {
        return 0;
    }
    uint16_t actual = CThreadMgr::LocalPort(tcp);
    OpenCarrierListener(actual);
    return actual;
}

uint16_t CPeerEngine::OpenListenSockets() {
    // A port is taken only when reliable UDP can have it too: the tracker agent's socket (there
    // already, or moved there) or a carrier listener of our own.
    // The tracker agent's socket moves before the port is published: a login announcing the new
    // port must leave from it.
    uint16_t port = OpenListenPort(
        m_sockets, core::Host().listenPort.load(),
        [this](uint16_t p) { return p == m_sharedUdpPort.load() || UdpPortFree(p); },
        [this](uint16_t p) {
            if (p != m_sharedUdpPort.load() && m_moveSharedUdp && m_moveSharedUdp(p)) {
                m_sharedUdpPort = p;
            }
        });
    if (port != 0) {
        OpenCarrierListener(port);
    }
    return port;
}

void CPeerEngine::OpenCarrierListener(uint16_t port) {
    // Reliable-UDP peers reach us on the TCP port number. When the tracker agent's socket holds
    // that port, it already hands their datagrams to reliable UDP, which answers through it; a
    // second socket could not bind there anyway.
    if (port == m_sharedUdpPort.load()) {
        core::EngineLog(core::kLogDebug, "reliable udp shares the tracker socket on port %u\n",
                        static_cast<unsigned>(port));
        return;
    }
    if (m_dispatch.Listen(3, port) < 0) {
        core::EngineLog(core::kLogFail, "udp listen on port %u failed\n", static_cast<unsigned>(port));
    }
}

void CPeerEngine::SendPass() {
    m_handle.PacingPass();
}

void CPeerEngine::WaitSendWork() {
    // Idle, the pass has nothing to release; queued work wakes it at once, and the bound only
    // covers work that reaches the queues without a wake.
    m_handle.WaitSendWork(50);
}

void CPeerEngine::P2pPass(uint32_t timeoutMs) {
    m_dispatch.Wait(static_cast<int>(timeoutMs));
    MessageRecord record;
    auto drain = [this, &record] {
        while (m_dispatch.TakeRecord(record)) {
            m_handle.Handle(record);
        }
        record.view = {};
    };
    m_handle.BeginBatch();
    // Each event's messages are handled as soon as it is framed, blocks straight from the buffer
    // they were received in.
    m_dispatch.ProcessQueues(drain);
    drain();
    m_handle.EndBatch();
    // Connections that drained while the records were handled get their waiting requests now,
    // not only on the send routine's next pass.
    m_handle.ServeWaitingRequests();
}

void CPeerEngine::RateWindowStep() {
    m_handle.RateWindowStep();
}

void CPeerEngine::SecondTick() {
    if (IAnnouncePass* pass = m_announce.load()) {
        pass->AnnouncePass();
    }
    m_handle.SecondPass();
}

namespace {
std::mutex g_engineLock;
std::unique_ptr<CPeerEngine> g_engine;
}  // namespace

CPeerEngine* CreatePeerEngine() {
    std::lock_guard lock(g_engineLock);
    if (!g_engine) {
        g_engine = std::make_unique<CPeerEngine>(core::TaskMgr(), ThreadMgr(), ConnectMgr(), EventQueue1(),
                                                 EventQueue2());
    }
    return g_engine.get();
}

CPeerEngine* PeerEngine() {
    std::lock_guard lock(g_engineLock);
    return g_engine.get();
}

void DestroyPeerEngine() {
    std::unique_ptr<CPeerEngine> gone;
    {
        std::lock_guard lock(g_engineLock);
        gone = std::move(g_engine);
    }
}

}  // namespace tessali::net
