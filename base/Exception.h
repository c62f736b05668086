// The program's exception tree. Every failure travels as one of these, thrown by value and caught by
// reference; an exception carries nothing but its type.
#pragma once

class Exception {
public:
    virtual ~Exception() = default;
};

// Any socket failure not covered by a subclass.
class SocketException : public Exception {
public:
    ~SocketException() override = default;
};

// A connect with a time-out ran out of time.
class TimeoutException : public SocketException {
public:
    ~TimeoutException() override = default;
};

// The peer refused the connection, or the address is not usable.
class ConnectException : public SocketException {
public:
    ~ConnectException() override = default;
};

// The local address is in use or not available.
class BindException : public SocketException {
public:
    ~BindException() override = default;
};

// The network timed out or the host is unreachable.
class NoRouteToHostException : public SocketException {
public:
    ~NoRouteToHostException() override = default;
};

// A receive found the connection closed by the peer.
class NoConnectionException : public SocketException {
public:
    ~NoConnectionException() override = default;
};

// A name could not be resolved, or an address has no name.
class UnknownHostException : public SocketException {
public:
    ~UnknownHostException() override = default;
};

// An address this program cannot use: an IPv6 scope id, a family the machine lacks, a broken bracket.
class UnsupportedAddressException : public SocketException {
public:
    ~UnsupportedAddressException() override = default;
};

// Thrown inside a worker's loop when its stop flag is seen; unwinds the worker to its entry.
class ThreadStopException : public Exception {
public:
    ~ThreadStopException() override = default;
};

// A worker's events or thread could not be created.
class ThreadCreateException : public Exception {
public:
    ~ThreadCreateException() override = default;
};

// A buffer could not be allocated.
class MemoryException : public Exception {
public:
    ~MemoryException() override = default;
};
