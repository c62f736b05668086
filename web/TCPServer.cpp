#include "web/TCPServer.h"

#include <utility>

class TCPServer::Acceptor : public WorkerThread {
public:
    explicit Acceptor(TCPServer& server) : server_(server) {}
    ~Acceptor() override { Stop(true); }

protected:
    void Run() override { server_.AcceptLoop(*this); }
    bool DeleteOnExit() override { return false; }

private:
    TCPServer& server_;
};

class TCPServer::Connection : public WorkerThread {
public:
    Connection(TCPServer& server, SocketHandle handle) : server_(server) { socket_.handle = handle; }
    ~Connection() override { Stop(true); }

    bool Finished() const { return finished_.load(); }

protected:
    void Run() override {
        try {
            server_.Serve(socket_, *this);
        } catch (...) {
            socket_.Close();
            finished_ = true;
            throw;
        }
        socket_.Close();
        finished_ = true;
    }
    bool DeleteOnExit() override { return false; }

private:
    TCPServer& server_;
    Socket socket_;
    std::atomic<bool> finished_{false};
};

TCPServer::TCPServer() = default;

TCPServer::~TCPServer() {
    Stop();
}

void TCPServer::Start(const SocketAddress& address) {
    if (acceptor_)
        throw ServerException();
    try {
        listener_.CreateStream();
        Bind(listener_.handle, address);
        Listen(listener_.handle, SOMAXCONN);
        port_ = LocalAddress(listener_.handle).Port();
        acceptor_ = std::make_unique<Acceptor>(*this);
        acceptor_->Create();
        acceptor_->Start();
    } catch (const Exception&) {
        acceptor_.reset();
        listener_.Close();
        port_ = 0;
        throw ServerException();
    }
}

void TCPServer::Stop() {
    if (acceptor_)
        acceptor_->Stop(true);
    // The acceptor has ended, so the list no longer grows; stop every connection first, then wait for
    // each, so that they wind down side by side.
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> guard(connectionsLock_);
        connections.swap(connections_);
    }
    for (auto& connection : connections)
        connection->Stop(false);
    connections.clear();
    acceptor_.reset();
    listener_.Close();
    port_ = 0;
}

void TCPServer::AcceptLoop(WorkerThread& worker) {
    for (;;) {
        worker.CheckStop();
        ReapFinished();
        SocketHandle accepted = kNoSocket;
        try {
            accepted = Accept(listener_.handle, nullptr, kAcceptPollMs);
        } catch (const SocketException&) {
            // A connection that went away before it was taken; the listener itself is fine.
            continue;
        }
        if (accepted == kNoSocket)
            continue;
        auto connection = std::make_unique<Connection>(*this, accepted);
        try {
            connection->Create();
            connection->Start();
        } catch (const ThreadCreateException&) {
            continue;  // the connection's socket closes with it
        }
        std::lock_guard<std::mutex> guard(connectionsLock_);
        connections_.push_back(std::move(connection));
    }
}

void TCPServer::ReapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> guard(connectionsLock_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->Finished()) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Joined outside the lock; they have already ended, so this is quick.
}
