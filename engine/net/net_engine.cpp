#include "engine/net/net_engine.h"

namespace tessali::net {

// Never destroyed: threads of these objects may still be ending while static destructors run.
CFragmentPool& EventQueue1() {
    static CFragmentPool* q = new CFragmentPool;
    return *q;
}

CFragmentPool& EventQueue2() {
    static CFragmentPool* q = new CFragmentPool;
    return *q;
}

CConnectMgr& ConnectMgr() {
    static CSocketSender* sender = new CSocketSender;
    static CConnectMgr* mgr = new CConnectMgr(EventQueue2(), *sender);
    return *mgr;
}

CThreadMgr& ThreadMgr() {
    static CThreadMgr* mgr = new CThreadMgr(EventQueue1(), &ConnectMgr());
    return *mgr;
}

CDNSCache& DnsCache() {
    static CDNSCache* cache = new CDNSCache;
    return *cache;
}

void ShutdownNet() {
    ThreadMgr().StopAll();
    ConnectMgr().Stop();
    EventQueue1().Clear();
    EventQueue2().Clear();
}

}  // namespace tessali::net
