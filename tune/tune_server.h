// The HTTP side of qualvex tune: the page's files and the small API the page uses (and scripts and
// tests may use), over one TuneSession.
//
// Safe by default: it listens on the loopback address; every API request must carry the session's
// random token (the X-Qualvex-Token header, the qualvex_tune cookie the page gets when opened with
// ?token=, or a token parameter); a request whose Host is not the server's own address and port is
// refused (DNS rebinding), so is a write from another origin; files come only from the page folder,
// by plain names; a malformed request gets a 4xx answer with a message.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace qualvex {

class TuneSession;

struct TuneServerOptions {
    std::string Listen = "127.0.0.1";  // a numeric address or a host name the page is opened at
    int Port = 0;                      // 0: a free port
    std::filesystem::path PageFolder;  // index.html, tune.js, tune.css
    std::string Token;                 // empty: a random one
    // From a connection's start, or its last answer, to its next request's headers and body.
    std::chrono::milliseconds RequestDeadline{10000};
};

// 32 hexadecimal digits from the system's random source.
std::string RandomToken();

class TuneServer {
public:
    // Binds the address and port; throws Failure when it cannot.
    TuneServer(TuneSession& session, TuneServerOptions options);
    ~TuneServer();  // stops serving
    TuneServer(const TuneServer&) = delete;
    TuneServer& operator=(const TuneServer&) = delete;

    int Port() const;
    const std::string& Token() const;
    // http://ADDRESS:PORT/?token=TOKEN
    std::string Url() const;

    // Serves on a thread of its own until Stop() or destruction.
    void Start();
    void Stop();

private:
    struct State;
    std::unique_ptr<State> m;
};

}  // namespace qualvex
