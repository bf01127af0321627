#include "cli/tune_command.h"

#include "base/errors.h"
#include "tune/tune_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace qualvex::cli {

std::filesystem::path TunePageFolder()
{
    if (const char* folder = std::getenv("QUALVEX_TUNE_PAGE"); folder != nullptr && *folder != '\0')
        return folder;
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    const std::filesystem::path installed = program / QUALVEX_INSTALLED_TUNE_PAGE_FROM_PROGRAM;
    if (!error && std::filesystem::is_regular_file(installed / "index.html", error))
        return installed;
    return QUALVEX_SOURCE_TUNE_PAGE;
}

namespace {

// Whether `address` names every interface rather than one: 0.0.0.0 and :: however they are
// spelt ("0", "::0", "0:0::0", "[::]"), and any name that resolves to them.
bool IsEveryInterface(std::string address)
{
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0)
        return false;  // not an address: binding fails with its own message
    bool every = false;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET)
            every = every || reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr == htonl(INADDR_ANY);
        if (a->ai_family == AF_INET6)
            every = every || IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
    }
    ::freeaddrinfo(found);
    return every;
}

}  // namespace

void RunTune(const KeyerPlugin& plugin, const TuneOptions& options)
{
    TuneServerOptions serverOptions;
    if (!options.Listen.empty()) {
        if (IsEveryInterface(options.Listen))
            throw UsageError("--listen " + options.Listen + ": give the address the page will be opened at (requests "
                             "naming another host are refused)");
        serverOptions.Listen = options.Listen;
    }
    if (options.Port < 0 || options.Port > 65535)
        throw UsageError("--port " + std::to_string(options.Port) + ": expected 1 to 65535 (or 0 for a free port)");
    serverOptions.Port = options.Port;
    serverOptions.PageFolder = TunePageFolder();
    std::error_code error;
    if (!std::filesystem::is_regular_file(serverOptions.PageFolder / "index.html", error))
        throw Failure(serverOptions.PageFolder.string() + ": the page's files are not there (set QUALVEX_TUNE_PAGE to "
                                                          "the folder holding index.html)");

    TuneSession session(plugin, options.Source);

    // Ctrl-C and SIGTERM are taken by this thread alone, with sigwait: the server's threads, which
    // inherit the mask, never see them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    TuneServer server(session, serverOptions);
    if (serverOptions.Listen != "127.0.0.1")
        std::fprintf(stderr, "qualvex: warning: listening on %s, not the loopback address: anyone who can reach it "
                             "and has the URL's token can drive this session and write settings files\n",
                     serverOptions.Listen.c_str());
    server.Start();
    std::printf("qualvex tune: %s\n  open %s\n  Ctrl-C stops it\n", options.Source.Source.c_str(), server.Url().c_str());
    std::fflush(stdout);
    if (options.Open) {
        const std::string url = server.Url();
        char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
        pid_t child = 0;
        if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ) != 0)
            std::fprintf(stderr, "qualvex: warning: cannot start xdg-open; open the URL by hand\n");
    }
    int signal = 0;
    sigwait(&stop, &signal);
    server.Stop();
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    std::printf("qualvex tune: stopped\n");
}

}  // namespace qualvex::cli
