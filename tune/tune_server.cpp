#include "tune/tune_server.h"

#include "base/errors.h"
#include "base/safe_text.h"
#include "jobs/fit_samples.h"
#include "tune/connections.h"
#include "tune/tune_session.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace qualvex {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kTokenHeader = "X-Qualvex-Token";
constexpr const char* kTokenCookie = "qualvex_tune";
// Requests hold a few controls or regions: anything larger is not the page's.
constexpr std::size_t kLargestRequest = 1u << 20;
constexpr int kSilentSeconds = 2;  // the longest a client may stay silent in a request or between them

// A request the page or a script got wrong: answered with its status and the message.
struct RequestError {
    int Status;
    std::string Message;
};

void Answer(httplib::Response& response, int status, const std::string& message)
{
    response.status = status;
    response.set_content(Json{{"error", message}}.dump(), "application/json");
}

bool SameText(const std::string& a, const std::string& b)
{
    // Every character compared whatever the first difference: the time says nothing of the token.
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

std::string CookieToken(const httplib::Request& request)
{
    const std::string cookies = request.get_header_value("Cookie");
    const std::string name = std::string(kTokenCookie) + "=";
    std::size_t at = 0;
    while (at < cookies.size()) {
        std::size_t end = cookies.find(';', at);
        if (end == std::string::npos)
            end = cookies.size();
        std::string item = cookies.substr(at, end - at);
        item.erase(0, item.find_first_not_of(' '));
        if (item.rfind(name, 0) == 0)
            return item.substr(name.size());
        at = end + 1;
    }
    return "";
}

Json ParseBody(const httplib::Request& request)
{
    Json body = Json::parse(request.body, nullptr, false);
    if (JsonNestingDepth(request.body) > kMaxJsonDepth || body.is_discarded() || !body.is_object())
        throw RequestError{400, "the request's body is not a JSON object"};
    return body;
}

int IntegerField(const Json& body, const char* name, std::optional<int> fallback = std::nullopt)
{
    if (!body.contains(name)) {
        if (fallback)
            return *fallback;
        throw RequestError{400, std::string("\"") + name + "\" is missing"};
    }
    const Json& item = body[name];
    if (!item.is_number_integer() || item.get<std::int64_t>() < INT32_MIN || item.get<std::int64_t>() > INT32_MAX)
        throw RequestError{400, std::string("\"") + name + "\" must be a whole number"};
    return item.get<int>();
}

int IntegerParam(const httplib::Request& request, const char* name, int fallback)
{
    if (!request.has_param(name))
        return fallback;
    const std::string text = request.get_param_value(name);
    int value = 0;
    std::size_t used = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size())
        throw RequestError{400, std::string(name) + " " + Quoted(text) + " is not a whole number"};
    return value;
}

// scale=1, 0.5, 0.25, ...: the proxy step its inverse gives, which must be a whole number.
int StepParam(const httplib::Request& request)
{
    if (!request.has_param("scale"))
        return 1;
    const std::string text = request.get_param_value("scale");
    double scale = 0.0;
    std::size_t used = 0;
    try {
        scale = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    // Guards the division: only scales in 1/kMaxProxyStep .. 1 reach it.
    if (used == 0 || used != text.size() || !(scale >= 1.0 / kMaxProxyStep && scale <= 1.0))
        throw RequestError{400, "scale " + Quoted(text) + ": expected 1, 0.5, 0.25, ... down to 1/" +
                                    std::to_string(kMaxProxyStep)};
    const double inverse = 1.0 / scale;
    const long step = std::lround(inverse);
    if (std::fabs(inverse - static_cast<double>(step)) > 1e-9)
        throw RequestError{400, "scale " + Quoted(text) + ": must be 1 over a whole number"};
    return static_cast<int>(step);
}

Region RegionField(const Json& item, const std::string& name)
{
    if (!item.is_array() || item.size() != 4)
        throw RequestError{400, "\"" + name + "\" must be [x, y, width, height]"};
    for (const Json& number : item)
        if (!number.is_number_integer() || number.get<std::int64_t>() < INT32_MIN ||
            number.get<std::int64_t>() > INT32_MAX)
            throw RequestError{400, "\"" + name + "\" must hold four whole numbers"};
    Region region{item[0].get<int>(), item[1].get<int>(), item[2].get<int>(), item[3].get<int>(), name, {}};
    if (region.Width <= 0 || region.Height <= 0)
        throw RequestError{400, "\"" + name + "\": the region is empty"};
    return region;
}

std::vector<Region> RegionList(const Json& body, const char* name)
{
    std::vector<Region> regions;
    if (!body.contains(name))
        return regions;
    const Json& list = body[name];
    if (!list.is_array())
        throw RequestError{400, std::string("\"") + name + "\" must be a list of [x, y, width, height]"};
    for (std::size_t i = 0; i < list.size(); ++i)
        regions.push_back(RegionField(list[i], std::string(name) + " " + std::to_string(i + 1)));
    return regions;
}

std::string StringField(const Json& body, const char* name)
{
    if (!body.contains(name) || !body[name].is_string() || body[name].get<std::string>().empty())
        throw RequestError{400, std::string("\"") + name + "\" must be a non-empty string"};
    return body[name].get<std::string>();
}

// A file's path from the body: a string with no control character. A NUL would end the name the
// system sees early, past the checks made on the whole text (a settings file's ".json"); other
// control characters have no place in a name typed on the page.
std::filesystem::path PathField(const Json& body, const char* name)
{
    const std::string text = StringField(body, name);
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            throw RequestError{400, std::string("\"") + name + "\" " + Quoted(text) + " holds a control character"};
    return text;
}

// A letter or digit, then letters, digits, '_' and '-', one dot and a lower-case extension.
bool IsPlainFileName(const std::string& name)
{
    const auto wordChar = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    };
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() || name[0] == '_' || name[0] == '-')
        return false;
    for (std::size_t i = 0; i < dot; ++i)
        if (!wordChar(name[i]))
            return false;
    for (std::size_t i = dot + 1; i < name.size(); ++i)
        if (name[i] < 'a' || name[i] > 'z')
            return false;
    return true;
}

const char* ContentType(const std::string& extension)
{
    if (extension == ".html")
        return "text/html; charset=utf-8";
    if (extension == ".css")
        return "text/css; charset=utf-8";
    if (extension == ".js")
        return "text/javascript; charset=utf-8";
    if (extension == ".svg")
        return "image/svg+xml";
    return nullptr;
}

}  // namespace

std::string RandomToken()
{
    std::random_device source;  // the system's random source on this platform
    std::string token;
    char digits[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(source()));
        token += digits;
    }
    return token;
}

struct TuneServer::State {
    TuneSession& Session;
    TuneServerOptions Options;
    httplib::Server Server;
    std::mutex SessionLock;  // the tool instance takes one request at a time
    std::thread Thread;
    std::atomic<bool> Listening{false};
    int Port = 0;
    std::vector<std::string> Hosts;  // what the Host header may say

    State(TuneSession& session, TuneServerOptions options) : Session(session), Options(std::move(options)) {}

    bool TokenGiven(const httplib::Request& request) const
    {
        const std::string& token = Options.Token;
        return SameText(request.get_header_value(kTokenHeader), token) || SameText(CookieToken(request), token) ||
               (request.has_param("token") && SameText(request.get_param_value("token"), token));
    }

    // Host, origin and token, before any route sees the request.
    httplib::Server::HandlerResponse Screen(const httplib::Request& request, httplib::Response& response)
    {
        const std::string host = request.get_header_value("Host");
        if (std::find(Hosts.begin(), Hosts.end(), host) == Hosts.end()) {
            Answer(response, 403, "refused: the request names host " + Quoted(host) + ", not this server's " + Hosts[0]);
            return httplib::Server::HandlerResponse::Handled;
        }
        // A body comes with its length, so that the limit on its size holds before any of it is
        // read: a chunked body would be read whole, however large.
        if (request.has_header("Transfer-Encoding")) {
            response.set_header("Connection", "close");
            Answer(response, 411, "refused: send the body with a Content-Length (at most " +
                                      std::to_string(kLargestRequest >> 20) + " MiB), not in chunks");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!request.ranges.empty()) {
            // Answers go whole, as a server may send them whatever the ranges asked: the HTTP
            // library would otherwise cut every answer, errors included, into each range named,
            // one part per range however many. The request is the library's own object, which it
            // hands here as const; only its parsed ranges are dropped.
            const_cast<httplib::Request&>(request).ranges.clear();
        }
        if (request.method != "GET" && request.method != "HEAD") {
            const std::string origin = request.get_header_value("Origin");
            const std::string site = request.get_header_value("Sec-Fetch-Site");
            bool sameOrigin = origin.empty() || origin == "http://" + host;
            if (!site.empty() && site != "same-origin" && site != "none")
                sameOrigin = false;
            if (!sameOrigin) {
                Answer(response, 403, "refused: a write from another origin (" + Quoted(origin) + ")");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (request.path.rfind("/api/", 0) == 0 && !TokenGiven(request)) {
            Answer(response, 403, "refused: this request does not carry the session's token (open the URL qualvex "
                                  "tune printed, or send it in the " + std::string(kTokenHeader) + " header)");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    void PageFile(const httplib::Request& request, httplib::Response& response)
    {
        Connections::RequestArrived();
        std::string name = request.path == "/" ? std::string("index.html") : request.path.substr(1);
        // Plain names of the page folder only: no folders, no dot files, no way out of it.
        const std::filesystem::path file = Options.PageFolder / name;
        const char* type = ContentType(file.extension().string());
        std::error_code error;
        if (!IsPlainFileName(name) || type == nullptr || !std::filesystem::is_regular_file(file, error)) {
            Answer(response, 404, "not found: " + Quoted(request.path));
            return;
        }
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        if (!in) {
            Answer(response, 500, "cannot read the page's file " + name);
            return;
        }
        if (request.has_param("token") && SameText(request.get_param_value("token"), Options.Token))
            response.set_header("Set-Cookie",
                                std::string(kTokenCookie) + "=" + Options.Token + "; Path=/; HttpOnly; SameSite=Strict");
        response.set_header("Content-Security-Policy",
                            "default-src 'self'; img-src 'self' blob: data:; frame-ancestors 'none'");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Cache-Control", "no-store");
        response.set_content(content.str(), type);
    }

    // Runs an API call with the session to itself, and turns what it throws into an answer.
    template <class Call>
    void Api(const httplib::Request& request, httplib::Response& response, Call call)
    {
        Connections::RequestArrived();
        Answering(response, [&] {
            const std::lock_guard<std::mutex> lock(SessionLock);
            call(request, response);
            response.set_header("Cache-Control", "no-store");
        });
    }

    // Runs part of a call and turns what it throws into an answer; false when it threw.
    template <class Part>
    static bool Answering(httplib::Response& response, Part part)
    {
        try {
            part();
            return true;
        } catch (const RequestError& error) {
            Answer(response, error.Status, error.Message);
        } catch (const UsageError& error) {
            Answer(response, 400, error.what());
        } catch (const Failure& error) {
            Answer(response, 422, error.what());
        } catch (const std::exception& error) {
            Answer(response, 500, error.what());
        }
        return false;
    }

    // {"set": [{"id": ..., "value": number or label}, ...]} as (id, text) pairs, in order.
    static std::vector<std::pair<std::string, std::string>> Edits(const Json& body)
    {
        if (!body.contains("set") || !body["set"].is_array())
            throw RequestError{400, "\"set\" must be a list of {\"id\": ..., \"value\": ...}"};
        std::vector<std::pair<std::string, std::string>> values;
        for (const Json& item : body["set"]) {
            if (!item.is_object() || !item.contains("id") || !item["id"].is_string() || !item.contains("value") ||
                !(item["value"].is_number() || item["value"].is_string()))
                throw RequestError{400, "each of \"set\" must be {\"id\": text, \"value\": number or label}"};
            values.emplace_back(item["id"].get<std::string>(),
                                item["value"].is_string() ? item["value"].get<std::string>() : item["value"].dump());
        }
        return values;
    }

    // GET `path` lists a tool's controls; POST sets some ({"set": [...]}) and answers the list.
    void ControlRoutes(const std::string& path, std::string (TuneSession::*list)() const,
                       void (TuneSession::*set)(const std::vector<std::pair<std::string, std::string>>&))
    {
        Server.Get(path, [this, list](const httplib::Request& q, httplib::Response& r) {
            Api(q, r, [&](const httplib::Request&, httplib::Response& a) {
                a.set_content((Session.*list)(), "application/json");
            });
        });
        Server.Post(path, [this, list, set](const httplib::Request& q, httplib::Response& r) {
            Api(q, r, [&](const httplib::Request& request, httplib::Response& a) {
                (Session.*set)(Edits(ParseBody(request)));
                a.set_content((Session.*list)(), "application/json");
            });
        });
    }

    void Routes()
    {
        using httplib::Request;
        using httplib::Response;
        Server.Get("/api/session", [this](const Request& q, Response& r) {
            Api(q, r, [this](const Request&, Response& a) { a.set_content(Session.DescriptionJson(), "application/json"); });
        });
        ControlRoutes("/api/controls", &TuneSession::ControlsJson, &TuneSession::SetControls);
        ControlRoutes("/api/finish", &TuneSession::FinishControlsJson, &TuneSession::SetFinishControls);
        Server.Get("/api/view", [this](const Request& q, Response& r) {
            Api(q, r, [this](const Request& request, Response& a) {
                const std::string name = request.has_param("view") ? request.get_param_value("view") : "matte";
                const std::optional<TuneView> view = TuneViewNamed(name);
                if (!view)
                    throw RequestError{400, "view " + Quoted(name) +
                                                ": expected source, matte, checker, background or rejection"};
                a.set_content(Session.RenderViewPng(*view, IntegerParam(request, "frame", FirstFrame()), StepParam(request)),
                              "image/png");
            });
        });
        Server.Get("/api/stats", [this](const Request& q, Response& r) {
            Api(q, r, [this](const Request& request, Response& a) {
                const MatteShares shares = Session.Statistics(IntegerParam(request, "frame", FirstFrame()), StepParam(request));
                a.set_content(Json{{"zero", shares.Zero}, {"one", shares.One}, {"between", shares.Between},
                                   {"pixels", shares.Pixels}}
                                  .dump(),
                              "application/json");
            });
        });
        Server.Get("/api/result", [this](const Request& q, Response& r) {
            Api(q, r, [this](const Request& request, Response& a) {
                std::string floats = Session.ResultFloats(IntegerParam(request, "frame", FirstFrame()));
                // The size of the frame just keyed, which the session now holds.
                const Json description = Json::parse(Session.DescriptionJson());
                a.set_header("X-Qualvex-Width", std::to_string(description["width"].get<int>()));
                a.set_header("X-Qualvex-Height", std::to_string(description["height"].get<int>()));
                a.set_content(std::move(floats), "application/octet-stream");
            });
        });
        Server.Post("/api/pick", [this](const Request& q, Response& r) {
            Api(q, r, [this](const Request& request, Response& a) {
                const Json body = ParseBody(request);
                Region region{IntegerField(body, "x"), IntegerField(body, "y"), IntegerField(body, "width", 1),
                              IntegerField(body, "height", 1), "the picked region", {}};
                if (region.Width <= 0 || region.Height <= 0)
                    throw RequestError{400, "the picked region is empty"};
                Session.Pick(IntegerField(body, "frame", FirstFrame()), region);
                a.set_content(Session.ControlsJson(), "application/json");
            });
        });
        Server.Post("/api/fit", [this](const Request& q, Response& r) {
            Api(q, r, [this](const Request& request, Response& a) {
                const Json body = ParseBody(request);
                if (body.contains("edges") && body["edges"] != "auto" && body["edges"] != "none")
                    throw RequestError{400, "\"edges\" must be \"auto\" or \"none\""};
                const std::string report =
                    Session.Fit(IntegerField(body, "frame", FirstFrame()), RegionList(body, "screen"),
                                RegionList(body, "subject"), RegionList(body, "edge"),
                                body.contains("edges") && body["edges"] == "auto");
                a.set_content(Json{{"report", report}, {"controls", Json::parse(Session.ControlsJson())}}.dump(),
                              "application/json");
            });
        });
        Server.Post("/api/save", [this](const Request& q, Response& r) {
            Api(q, r, [this](const Request& request, Response& a) {
                const Json body = ParseBody(request);
                const std::filesystem::path file = PathField(body, "path");
                const bool overwrite = body.contains("overwrite") && body["overwrite"] == true;
                std::error_code error;
                if (!overwrite && std::filesystem::exists(std::filesystem::symlink_status(file, error)))
                    throw RequestError{409, file.string() + ": exists; send \"overwrite\": true to replace it"};
                Session.Save(file, overwrite);
                a.set_content(Json{{"path", file.string()}, {"command", Session.KeyCommandLine(file)}}.dump(),
                              "application/json");
            });
        });
        Server.Post("/api/load", [this](const Request& q, Response& r) {
            // The file is read (an image opened for its record) before the session is taken: a
            // large or slow file holds up this request only.
            SettingsText text;
            if (!Answering(r, [&] { text = ReadSettingsText(PathField(ParseBody(q), "path")); }))
                return;
            Api(q, r, [this, &text](const Request&, Response& a) {
                Session.Load(text);
                a.set_content(Session.ControlsJson(), "application/json");
            });
        });
        Server.Get(R"(/api/.*)", [](const Request& request, Response& response) {
            Answer(response, 404, "no such call: GET " + Quoted(request.path));
        });
        Server.Post(R"(/api/.*)", [](const Request& request, Response& response) {
            Answer(response, 404, "no such call: POST " + Quoted(request.path));
        });
        Server.Get(R"(/.*)", [this](const Request& request, Response& response) { PageFile(request, response); });
    }

    int FirstFrame()
    {
        const Json description = Json::parse(Session.DescriptionJson());
        return description["frames"][0].get<int>();
    }
};

TuneServer::TuneServer(TuneSession& session, TuneServerOptions options)
    : m(std::make_unique<State>(session, std::move(options)))
{
    if (m->Options.Token.empty())
        m->Options.Token = RandomToken();
    m->Server.set_payload_max_length(kLargestRequest);
    m->Server.new_task_queue = [this] { return new Connections(m->Port, m->Options.RequestDeadline); };
    m->Server.set_logger([](const httplib::Request&, const httplib::Response&) { Connections::AnswerSent(); });
    // A request arrives in one go from a page or a script: a client silent for longer is dropped,
    // between requests on a kept-alive connection as well.
    m->Server.set_read_timeout(std::chrono::seconds(kSilentSeconds));
    m->Server.set_keep_alive_timeout(kSilentSeconds);
    m->Server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) { return m->Screen(request, response); });
    m->Server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        Answer(response, 500, "the request could not be served");
    });
    // Errors httplib finds itself (a body over the limit, a malformed request line) keep a message.
    m->Server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty())
            Answer(response, response.status, "the request was refused (HTTP " + std::to_string(response.status) + ")");
    });
    m->Routes();
    if (m->Options.Port == 0) {
        m->Port = m->Server.bind_to_any_port(m->Options.Listen);
        if (m->Port <= 0)
            throw Failure("cannot listen on " + m->Options.Listen + ": no free port could be bound");
    } else {
        if (!m->Server.bind_to_port(m->Options.Listen, m->Options.Port))
            throw Failure("cannot listen on " + m->Options.Listen + " port " + std::to_string(m->Options.Port) +
                          " (in use, or not an address of this machine)");
        m->Port = m->Options.Port;
    }
    std::string port = ":";
    port += std::to_string(m->Port);
    m->Hosts.push_back(m->Options.Listen + port);
    if (m->Options.Listen == "127.0.0.1")
        m->Hosts.push_back("localhost" + port);
}

TuneServer::~TuneServer() { Stop(); }

int TuneServer::Port() const { return m->Port; }

const std::string& TuneServer::Token() const { return m->Options.Token; }

std::string TuneServer::Url() const { return "http://" + m->Hosts[0] + "/?token=" + m->Options.Token; }

void TuneServer::Start()
{
    if (m->Thread.joinable())
        return;
    m->Listening = true;
    m->Thread = std::thread([this] {
        m->Server.listen_after_bind();
        m->Listening = false;
    });
    // A stop before the server runs would be lost, and the thread would then serve forever.
    while (m->Listening && !m->Server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TuneServer::Stop()
{
    m->Server.stop();
    if (m->Thread.joinable())
        m->Thread.join();
}

}  // namespace qualvex
