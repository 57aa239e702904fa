#include "gateway/web/web_server.h"

#include <httplib.h>

#include <asio/post.hpp>
#include <condition_variable>
#include <deque>
#include <future>

#include "gateway/net/endpoint.h"
#include "gateway/report/prometheus.h"
#include "gateway/web/assets.h"
#include "gateway/web/users.h"

namespace gateway::web {

namespace {

constexpr size_t kThreads = 16, kQueued = 16, kLogins = 32;
constexpr auto kLoopWait = std::chrono::seconds(2);
constexpr auto kLoginKept = std::chrono::minutes(10);

// Only the page's own files; no inline script or style, no frames.
constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src "
    "'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The connections' workers: a fixed number of threads; when they are all
// busy and kQueued connections wait, the listener waits too (the kernel's
// backlog holds the rest).
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool() {
    for (size_t i = 0; i < kThreads; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return jobs_.size() < kQueued || shutdown_; });
    jobs_.push_back(std::move(fn));
    ready_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutdown_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
    for (auto& t : threads_) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !jobs_.empty() || shutdown_; });
        if (jobs_.empty()) return;  // shut down, nothing left
        job = std::move(jobs_.front());
        jobs_.pop_front();
        room_.notify_one();
      }
      job();
    }
  }
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool shutdown_ = false;
};

std::string Base64Decode(const std::string& in) {
  static const std::string kChars =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : in) {
    if (c == '=') break;
    const size_t v = kChars.find(c);
    if (v == std::string::npos) return "";
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

}  // namespace

WebServer::WebServer(asio::io_context& io, Gateway& gateway)
    : io_(io), gateway_(gateway), sampler_(io) {}

WebServer::~WebServer() {
  Stop();
}

std::string WebServer::Listen(const std::string& host, int port, Options options) {
  options_ = std::move(options);
  if (options_.tls) {
    auto tls =
        std::make_unique<httplib::SSLServer>(options_.certificate.c_str(), options_.key.c_str());
    if (!tls->is_valid()) return "web: the [tls] certificate or key cannot be used for HTTPS";
    http_ = std::move(tls);
  } else {
    http_ = std::make_unique<httplib::Server>();
  }
  http_->new_task_queue = [] { return new BoundedPool(); };
  http_->set_read_timeout(2, 0);
  http_->set_write_timeout(5, 0);
  http_->set_keep_alive_timeout(2);
  http_->set_keep_alive_max_count(100);
  http_->set_payload_max_length(8 * 1024);
  Route();
  const char* what = options_.page ? "web" : "metrics";
  port_ = port == 0 ? http_->bind_to_any_port(host) : (http_->bind_to_port(host, port) ? port : -1);
  if (port_ <= 0) {
    return std::string(what) + ": cannot listen on " +
           (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(port) + ": " + std::strerror(errno);
  }
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  if (options_.page) {
    AuditRing::Attach();
    view_.Sample(gateway_, Clock::now());
    SampleEverySecond();
  }
  return "";
}

void WebServer::Stop() {
  if (stopped_.exchange(true)) return;
  sampler_.cancel();
  if (options_.page) AuditRing::Detach();
  if (http_) http_->stop();
  if (thread_.joinable()) thread_.join();
}

void WebServer::SampleEverySecond() {
  sampler_.expires_after(std::chrono::seconds(1));
  sampler_.async_wait([this](const asio::error_code& ec) {
    if (ec || stopped_) return;
    view_.Sample(gateway_, Clock::now());
    SampleEverySecond();
  });
}

bool WebServer::LoggedIn(const httplib::Request& request) {
  if (options_.users.empty()) return true;
  const std::string header = request.get_header_value("Authorization");
  if (header.rfind("Basic ", 0) != 0) return false;
  const auto now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(loginsMutex_);
    if (auto seen = logins_.find(header);
        seen != logins_.end() && now - seen->second < kLoginKept) {
      return true;
    }
  }
  const std::string pair = Base64Decode(header.substr(6));
  const size_t colon = pair.find(':');
  if (colon == std::string::npos) return false;
  const auto user = options_.users.find(pair.substr(0, colon));
  if (user == options_.users.end() || !VerifyPassword(user->second, pair.substr(colon + 1))) {
    return false;
  }
  std::lock_guard<std::mutex> lock(loginsMutex_);
  if (logins_.size() >= kLogins) logins_.clear();
  logins_[header] = now;
  return true;
}

template <class Work>
void WebServer::Serve(const httplib::Request& request, httplib::Response& response, Work work) {
  response.set_header("Content-Security-Policy", kPolicy);
  response.set_header("X-Content-Type-Options", "nosniff");
  response.set_header("Referrer-Policy", "no-referrer");
  response.set_header("Cache-Control", "no-store");
  if (!LoggedIn(request)) {
    response.status = 401;
    response.set_header("WWW-Authenticate", "Basic realm=\"tiway-gateway\", charset=\"UTF-8\"");
    response.set_content("login needed\n", "text/plain; charset=utf-8");
    return;
  }
  auto answer = std::make_shared<std::promise<Answer>>();
  std::future<Answer> ready = answer->get_future();
  asio::post(io_, [this, answer, work, address = request.remote_addr] {
    Answer a;
    const Config& config = gateway_.Cfg();
    if (stopped_) {
      a = {503, "text/plain; charset=utf-8", "stopping\n"};
    } else if (asio::error_code bad;
               !config.clients.empty() && config.RuleFor(net::ClientAddress(
                                              asio::ip::make_address(address, bad))) == nullptr) {
      gateway_.Client(address).refusals.Add();
      a = {403, "text/plain; charset=utf-8", "no [[client]] rule covers this address\n"};
    } else {
      a = work();
    }
    answer->set_value(std::move(a));
  });
  if (ready.wait_for(kLoopWait) != std::future_status::ready) {
    response.status = 503;
    response.set_content("the gateway is busy\n", "text/plain; charset=utf-8");
    return;
  }
  Answer a = ready.get();
  response.status = a.status;
  response.set_content(std::move(a.body), a.type.c_str());
}

void WebServer::Route() {
  // Read-only: GET (and HEAD) alone.
  http_->set_pre_routing_handler([](const httplib::Request& q, httplib::Response& r) {
    if (q.method == "GET" || q.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
    r.status = 405;
    r.set_header("Allow", "GET, HEAD");
    r.set_content("only GET is served\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  http_->Get("/metrics", [this](const httplib::Request& q, httplib::Response& r) {
    Serve(q, r, [this] {
      return Answer{200, "text/plain; version=0.0.4; charset=utf-8",
                    MetricsText(gateway_, Clock::now())};
    });
  });
  if (options_.page) {
    for (size_t i = 0; i < kAssetCount; ++i) {
      const Asset& asset = kAssets[i];
      // The files too go through the login and the client rules.
      const auto guarded = [this, &asset](const httplib::Request& q, httplib::Response& r) {
        Serve(q, r, [&asset] {
          return Answer{200, asset.type,
                        std::string(reinterpret_cast<const char*>(asset.data), asset.size)};
        });
      };
      http_->Get(asset.path, guarded);
      if (std::string(asset.path) == "/index.html") http_->Get("/", guarded);
    }
    http_->Get("/api/status", [this](const httplib::Request& q, httplib::Response& r) {
      Serve(q, r, [this] {
        return Answer{200, "application/json", view_.StatusJson(gateway_, Clock::now())};
      });
    });
    http_->Get(R"(/api/unit/(\d+))", [this](const httplib::Request& q, httplib::Response& r) {
      const int id = std::atoi(q.matches[1].str().c_str());
      Serve(q, r, [this, id] {
        std::string body = view_.UnitJson(gateway_, id, Clock::now());
        if (body.empty()) return Answer{404, "application/json", "{\"error\":\"no such unit\"}"};
        return Answer{200, "application/json", std::move(body)};
      });
    });
  }
  http_->set_error_handler([](const httplib::Request&, httplib::Response& r) {
    r.set_header("Content-Security-Policy", kPolicy);
    if (r.status == 404 && r.body.empty())
      r.set_content("not found\n", "text/plain; charset=utf-8");
  });
}

}  // namespace gateway::web
