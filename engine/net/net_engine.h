// The process-wide objects of the socket layer: the two event queues, the socket (thread)
// manager, the reliable-UDP connection manager and the host-name cache, each created on first
// use. ShutdownNet stops their threads in the engine's order (sockets, then reliable UDP) and
// empties both queues; the objects themselves stay until the process ends.
#pragma once

#include "engine/net/connect_mgr.h"
#include "engine/net/dns_cache.h"
#include "engine/net/fragment_pool.h"
#include "engine/net/thread_mgr.h"

namespace tessali::net {

CFragmentPool& EventQueue1();  // ordinary sockets
CFragmentPool& EventQueue2();  // reliable-UDP connections
CConnectMgr& ConnectMgr();
CThreadMgr& ThreadMgr();  // carrier datagrams go to ConnectMgr()
CDNSCache& DnsCache();

void ShutdownNet();

}  // namespace tessali::net
