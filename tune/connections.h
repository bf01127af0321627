// The tuning server's connections: a thread each, and a deadline for each request to arrive whole.
//
// A fixed pool of workers is held by as many clients that send slowly, and every other request
// then waits behind them; a deadline on each read alone lets a client that sends a byte a second
// keep its connection for ever. So every connection has a thread of its own (up to a limit, beyond
// which new connections wait for one to close), and from the moment it is accepted, or its last
// answer was sent, a connection has until the deadline to deliver its next request's headers and
// body; one that has not is shut down. Handling a request (a render, a fit) takes as long as it
// takes: the deadline holds only while the server waits for the client.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qualvex {

class Connections : public httplib::TaskQueue {
public:
    static constexpr std::size_t kMostAtOnce = 256;

    // `port`: the server's, by which its accepted sockets are told from others.
    Connections(int port, std::chrono::milliseconds deadline);
    ~Connections() override;

    // Called by the server with each accepted connection's work.
    void enqueue(std::function<void()> work) override;
    // Waits for every connection to end (the server has stopped accepting and closes them).
    void shutdown() override;

    // On a connection's thread, from the request's handler: the request has arrived whole, and
    // the deadline waits until its answer is sent.
    static void RequestArrived();
    // On a connection's thread, once an answer is sent: the next request's deadline starts.
    static void AnswerSent();

    struct Connection;

private:
    struct Pending {
        std::shared_ptr<Connection> Of;
        std::function<void()> Work;
    };
    void Serve(Pending first);
    void Watch();

    const int m_Port;
    const std::chrono::milliseconds m_Deadline;
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::deque<Pending> m_Waiting;
    std::vector<std::shared_ptr<Connection>> m_Open;
    std::size_t m_Running = 0;
    bool m_Stopping = false;
    std::thread m_Watcher;
};

}  // namespace qualvex
