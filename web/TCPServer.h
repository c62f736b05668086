// A TCP server on threads of its own: one thread accepts, and each accepted connection is served on a
// thread of its own by the subclass's Serve. Stop ends them all and waits for them.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>

#include "base/Exception.h"
#include "base/Socket.h"
#include "base/WorkerThread.h"

class TCPServer {
public:
    // The listening socket could not be set up.
    class ServerException : public Exception {
    public:
        ~ServerException() override = default;
    };

    // How long one accept waits before the stop flag is looked at again.
    static constexpr int kAcceptPollMs = 100;

    TCPServer();
    // A subclass must call Stop in its own destructor: Serve is its function.
    virtual ~TCPServer();
    TCPServer(const TCPServer&) = delete;
    TCPServer& operator=(const TCPServer&) = delete;

    // Listens on `address` (port 0: the system chooses) and starts accepting. Throws ServerException.
    void Start(const SocketAddress& address);
    // Stops accepting, stops every connection's thread and waits for all of them.
    void Stop();
    // The port listened on, 0 when not started.
    int Port() const { return port_.load(); }

protected:
    // Serves one accepted connection, on its own thread. `worker` is that thread: loops test its stop
    // flag (CheckStop) at the top of each pass. The connection is closed when Serve returns.
    virtual void Serve(Socket& connection, WorkerThread& worker) = 0;

private:
    class Acceptor;
    class Connection;

    void AcceptLoop(WorkerThread& worker);
    void ReapFinished();

    Socket listener_;
    std::atomic<int> port_{0};
    std::unique_ptr<Acceptor> acceptor_;
    std::mutex connectionsLock_;
    std::list<std::unique_ptr<Connection>> connections_;  // under connectionsLock_
};
