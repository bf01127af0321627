#include "tune/connections.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

namespace qualvex {

using Clock = std::chrono::steady_clock;

struct Connections::Connection {
    int Socket = -1;  // -1 when it could not be found: the per-read timeout alone holds then
    ino_t Inode = 0;  // tells the socket from a later one under the same number
    Clock::duration Allowed{};  // from acceptance, or the last answer, to the next request whole
    std::atomic<bool> Handling{false};
    std::atomic<Clock::rep> Deadline{0};

    void StartDeadline() { Deadline = (Clock::now() + Allowed).time_since_epoch().count(); }
};

namespace {

thread_local Connections::Connection* t_Current = nullptr;

int PortOf(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

// The socket just accepted: connected, on the server's port, and not one of the open connections.
// The server hands over only the work of a connection, not its socket; the process's open files
// name it. Not found (no /proc): -1.
int AcceptedSocket(int port, const std::vector<std::shared_ptr<Connections::Connection>>& open, ino_t& inode)
{
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr)
        return -1;
    int found = -1;
    while (const dirent* entry = readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(folder))
            continue;
        struct stat status {};
        if (fstat(static_cast<int>(fd), &status) != 0 || !S_ISSOCK(status.st_mode))
            continue;
        const bool known = std::any_of(open.begin(), open.end(), [&](const auto& c) { return c->Inode == status.st_ino; });
        if (known)
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
            PortOf(local) != port ||
            getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
            continue;  // another socket, or the listening one (which has no peer)
        found = static_cast<int>(fd);
        inode = status.st_ino;
        break;
    }
    closedir(folder);
    return found;
}

}  // namespace

Connections::Connections(int port, std::chrono::milliseconds deadline)
    : m_Port(port), m_Deadline(deadline), m_Watcher([this] { Watch(); })
{
}

Connections::~Connections()
{
    shutdown();
    {
        const std::lock_guard<std::mutex> lock(m_Lock);
        m_Stopping = true;
    }
    m_Changed.notify_all();
    if (m_Watcher.joinable())
        m_Watcher.join();
}

void Connections::enqueue(std::function<void()> work)
{
    const std::lock_guard<std::mutex> lock(m_Lock);
    auto connection = std::make_shared<Connection>();
    connection->Socket = AcceptedSocket(m_Port, m_Open, connection->Inode);
    connection->Allowed = m_Deadline;
    connection->StartDeadline();
    m_Open.push_back(connection);
    Pending pending{std::move(connection), std::move(work)};
    if (m_Running >= kMostAtOnce) {
        m_Waiting.push_back(std::move(pending));
        return;
    }
    ++m_Running;
    std::thread([this, first = std::move(pending)]() mutable { Serve(std::move(first)); }).detach();
}

void Connections::shutdown()
{
    std::unique_lock<std::mutex> lock(m_Lock);
    m_Changed.wait(lock, [this] { return m_Running == 0; });
}

void Connections::Serve(Pending pending)
{
    while (true) {
        t_Current = pending.Of.get();
        pending.Work();
        t_Current = nullptr;
        const std::lock_guard<std::mutex> lock(m_Lock);
        m_Open.erase(std::remove(m_Open.begin(), m_Open.end(), pending.Of), m_Open.end());
        if (m_Waiting.empty()) {
            --m_Running;
            // Under the lock: shutdown() may return, and this object go, as soon as it sees 0.
            m_Changed.notify_all();
            return;
        }
        pending = std::move(m_Waiting.front());
        m_Waiting.pop_front();
        // A connection that waited for a thread gets its full time from now.
        pending.Of->StartDeadline();
    }
}

void Connections::Watch()
{
    std::unique_lock<std::mutex> lock(m_Lock);
    while (!m_Stopping) {
        m_Changed.wait_for(lock, std::chrono::milliseconds(100));
        const Clock::rep now = Clock::now().time_since_epoch().count();
        for (const auto& connection : m_Open) {
            if (connection->Socket < 0 || connection->Handling || connection->Deadline > now)
                continue;
            // Shut down if it is still that socket (its thread closes it at the end of the
            // connection, and the number may by then name a newer one): its reads end, and its
            // thread closes it.
            struct stat status {};
            if (fstat(connection->Socket, &status) == 0 && status.st_ino == connection->Inode)
                ::shutdown(connection->Socket, SHUT_RDWR);
            connection->Socket = -1;
        }
    }
}

void Connections::RequestArrived()
{
    if (t_Current != nullptr)
        t_Current->Handling = true;
}

void Connections::AnswerSent()
{
    if (t_Current == nullptr)
        return;
    t_Current->StartDeadline();
    t_Current->Handling = false;
}

}  // namespace qualvex
