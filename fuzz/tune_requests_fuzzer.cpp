// The tuning server's request handling: each input is sent as it is, as the bytes of one
// connection, to a server keying a small plate (its token is "fuzz", so that the seeds reach the
// API). Whatever the bytes, the server must answer or close, stay up, and go on answering a
// well-formed request (given a minute: a request the bytes made may hold the session meanwhile); the sanitizers watch what the request parser and the routes do meanwhile.
#include "fuzz_check.h"

#include "jobs/keyer_plugin.h"
#include "tune/tune_server.h"
#include "tune/tune_session.h"

#include <OpenImageIO/imageio.h>
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using qualvex::fuzz::Require;

struct Served {
    std::filesystem::path Folder;
    std::unique_ptr<qualvex::KeyerPlugin> Plugin;
    std::unique_ptr<qualvex::TuneSession> Session;
    std::unique_ptr<qualvex::TuneServer> Server;
};

// Started on the first input and kept for the run (never destroyed: the server's threads may
// still be closing connections at exit).
Served& Server()
{
    static Served* const served = [] {
        auto* s = new Served;
        s->Folder = std::filesystem::temp_directory_path() / ("qualvex-fuzz-tune-" + std::to_string(::getpid()));
        std::filesystem::create_directories(s->Folder / "page");
        const std::filesystem::path plate = s->Folder / "plate.exr";
        std::vector<float> pixels;
        for (int i = 0; i < 8 * 6; ++i)
            pixels.insert(pixels.end(), {i % 2 ? 0.1f : 0.8f, 0.7f, 0.2f, 1.0f});
        auto out = OIIO::ImageOutput::create(plate.string());
        OIIO::ImageSpec header(8, 6, 4, OIIO::TypeDesc::FLOAT);
        Require(out && out->open(plate.string(), header) && out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) &&
                    out->close(),
                "the fuzz plate is written");
        std::ofstream(s->Folder / "page" / "index.html") << "<!doctype html><title>fuzz</title>";
        s->Plugin = std::make_unique<qualvex::KeyerPlugin>(std::filesystem::path(QUALVEX_FUZZ_PLUGIN));
        s->Session = std::make_unique<qualvex::TuneSession>(*s->Plugin, qualvex::TuneSource{plate.string(), "", "", "", ""});
        s->Server = std::make_unique<qualvex::TuneServer>(
            *s->Session, qualvex::TuneServerOptions{"127.0.0.1", 0, s->Folder / "page", "fuzz"});
        // The fuzzing engine's timer signal is for its own thread: the server's threads start with
        // the engine's signals blocked, as in the program, where nothing sends them any, so that
        // none of their system calls is interrupted for no fault of the requests.
        sigset_t engine, before;
        sigemptyset(&engine);
        for (const int signal : {SIGALRM, SIGUSR1, SIGUSR2, SIGINT, SIGTERM})
            sigaddset(&engine, signal);
        pthread_sigmask(SIG_BLOCK, &engine, &before);
        s->Server->Start();
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(Server().Folder, ignored);
        });
        return s;
    }();
    return *served;
}

// Sends the bytes on a connection of their own, then reads until the server closes it (or a few
// seconds pass); what came back. `ended`: the bytes are all there is (the connection is closed
// for writing after them, so that a partial request ends at once; the server then handles what
// came but answers nothing, as to any client that has gone).
std::string Exchange(int port, const std::string& bytes, bool ended, int patienceSeconds)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    Require(fd >= 0, "a socket is available");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // This thread takes the engine's timer signal: an interrupted call is carried on.
    int connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (connected != 0 && errno == EINTR) {
        pollfd ready{fd, POLLOUT, 0};
        while (poll(&ready, 1, -1) < 0 && errno == EINTR) {
        }
        int error = 0;
        socklen_t size = sizeof error;
        connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0 ? 0 : -1;
    }
    Require(connected == 0, "the server accepts a connection");
    timeval patience{patienceSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // the server may close before it has read everything
        sent += static_cast<std::size_t>(n);
    }
    if (ended)
        shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            answer.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && answer.empty())
        answer = "(no answer: " + std::string(std::strerror(errno)) + ")";
    close(fd);
    return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Served& served = Server();
    const int port = served.Server->Port();
    Exchange(port, std::string(reinterpret_cast<const char*>(data), size), true, 5);
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const std::string answer =
        Exchange(port, "GET /api/session HTTP/1.1\r\nHost: " + host + "\r\nX-Qualvex-Token: fuzz\r\nConnection: close\r\n\r\n", false, 60);
    Require(answer.rfind("HTTP/1.1 200", 0) == 0, "a well-formed request is still answered (it got: " + answer.substr(0, 300) + ")");
    return 0;
}
