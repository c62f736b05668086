// Progress notices of a proxy connect, in the order they come: the proxy is being connected, the proxy is
// connected, the destination is being asked for, the destination is connected. A direct connect sends all
// four too. The default observer ignores them.
#pragma once

class ProxyObserver {
public:
    virtual ~ProxyObserver() = default;
    virtual void OnProxyConnecting() {}
    virtual void OnProxyConnected() {}
    virtual void OnHostRequesting() {}
    virtual void OnHostConnected() {}

    // The shared do-nothing instance every ProxyClient starts with.
    static ProxyObserver& Null();
};
