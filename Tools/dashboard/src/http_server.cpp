#include "http_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "unique_fd.h"

namespace dashboard {
namespace {

using Clock = std::chrono::steady_clock;

// A connection that has sent nothing for this long while no answer is owed, or that has taken
// nothing of its answer for this long, is closed; a browser opens a fresh one when it needs it.
constexpr auto kIdleTimeout = std::chrono::seconds(60);
// A piece of a long body is asked for only when less than this is waiting to go out.
constexpr std::size_t kMoreBelow = 64 * 1024;
// After accept() ran out of file descriptors, it is tried again this much later (instead of at
// once, for ever, with the pending connection still there).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

constexpr std::uint64_t kListenId = 0;
constexpr std::uint64_t kWakeId = 1;

// The rest of a long body (HttpResponse::more), shared between the loop and the worker asking it.
using MoreBody = std::shared_ptr<std::function<std::optional<std::string>()>>;

// A piece of output shared by every stream it goes to.
struct Piece {
    std::shared_ptr<const std::string> text;
    std::size_t offset = 0;
};

}  // namespace

struct HttpServer::Impl {
    enum class Phase { Reading, Answering, Streaming };
    struct Conn {
        UniqueFd fd;
        std::string in;
        std::deque<Piece> out;
        std::size_t out_bytes = 0;
        Phase phase = Phase::Reading;
        bool close_when_sent = false;
        bool want_write = false;
        MoreBody more;
        bool asking_more = false;
        Clock::time_point last_seen = Clock::now();
    };
    // What a worker hands back: a whole answer (head and body), or the next piece of a long one.
    struct Result {
        std::uint64_t id;
        std::optional<std::string> text;
        bool last = true;  // no more pieces after this
        MoreBody more;     // with the head of a long answer: where the rest comes from
    };

    HttpServer& owner;
    Gate gate;
    std::map<std::pair<std::string, std::string>, Handler> handlers;
    std::map<std::string, StreamStart> streams;

    UniqueFd listen_fd, epoll_fd, wake_fd;
    std::unordered_map<std::uint64_t, Conn> conns;
    std::uint64_t next_id = 2;
    std::vector<std::uint64_t> read_again;
    std::optional<Clock::time_point> accept_paused_until;

    std::mutex mutex;  // guards what other threads hand to the loop, and the workers' queue
    std::condition_variable work_ready;
    std::deque<std::function<void()>> work;
    std::vector<Result> results;
    std::vector<std::shared_ptr<const std::string>> broadcasts;
    bool stopping = false;
    std::vector<std::thread> workers;

    Impl(HttpServer& server, std::size_t worker_count)
        : owner(server), epoll_fd(::epoll_create1(EPOLL_CLOEXEC)), wake_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        for (std::size_t i = 0; i < worker_count; ++i) workers.emplace_back([this] { work_loop(); });
    }
    ~Impl()
    {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        work_ready.notify_all();
        for (auto& w : workers) w.join();
    }

    void work_loop()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex);
                work_ready.wait(lock, [&] { return stopping || !work.empty(); });
                if (stopping) return;
                job = std::move(work.front());
                work.pop_front();
            }
            job();
        }
    }

    void wake()
    {
        std::uint64_t one = 1;
        (void)::write(wake_fd.get(), &one, sizeof one);
    }

    void post(Result r)
    {
        {
            std::lock_guard lock(mutex);
            results.push_back(std::move(r));
        }
        wake();
    }

    void submit(std::function<void()> job)
    {
        {
            std::lock_guard lock(mutex);
            work.push_back(std::move(job));
        }
        work_ready.notify_one();
    }

    // --- the event loop ---

    bool run()
    {
        if (!epoll_fd || !wake_fd || !listen_fd) return false;
        watch(listen_fd.get(), kListenId, EPOLLIN, EPOLL_CTL_ADD);
        watch(wake_fd.get(), kWakeId, EPOLLIN, EPOLL_CTL_ADD);
        epoll_event events[64];
        auto next_sweep = Clock::now() + std::chrono::seconds(1);
        for (;;) {
            int n = ::epoll_wait(epoll_fd.get(), events, 64, 200);
            if (n < 0 && errno != EINTR) return false;
            for (int i = 0; i < n; ++i) {
                std::uint64_t id = events[i].data.u64;
                if (id == kListenId)
                    accept_all();
                else if (id == kWakeId) {
                    std::uint64_t count;
                    (void)::read(wake_fd.get(), &count, sizeof count);
                } else
                    on_ready(id, events[i].events);
            }
            {
                std::lock_guard lock(mutex);
                if (stopping) break;
            }
            take_handed_over();
            while (!read_again.empty()) {
                auto id = read_again.back();
                read_again.pop_back();
                if (auto it = conns.find(id); it != conns.end() && it->second.phase == Phase::Reading)
                    next_request(id, it->second);
            }
            auto now = Clock::now();
            if (accept_paused_until && now >= *accept_paused_until) {
                accept_paused_until.reset();
                watch(listen_fd.get(), kListenId, EPOLLIN, EPOLL_CTL_MOD);
            }
            if (now >= next_sweep) {
                next_sweep = now + std::chrono::seconds(1);
                sweep_idle(now);
            }
        }
        for (auto& [id, c] : conns)
            if (c.phase == Phase::Streaming) --owner.open_streams_;
        conns.clear();
        return true;
    }

    void watch(int fd, std::uint64_t id, std::uint32_t events, int op)
    {
        epoll_event e{};
        e.events = events;
        e.data.u64 = id;
        ::epoll_ctl(epoll_fd.get(), op, fd, &e);
    }

    void accept_all()
    {
        for (;;) {
            int fd = ::accept4(listen_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    watch(listen_fd.get(), kListenId, 0, EPOLL_CTL_MOD);
                    accept_paused_until = Clock::now() + kAcceptPause;
                }
                return;  // EAGAIN: all taken
            }
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::uint64_t id = next_id++;
            Conn& c = conns[id];
            c.fd.reset(fd);
            watch(fd, id, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
        }
    }

    void close_conn(std::uint64_t id)
    {
        auto it = conns.find(id);
        if (it == conns.end()) return;
        if (it->second.phase == Phase::Streaming) --owner.open_streams_;
        ::epoll_ctl(epoll_fd.get(), EPOLL_CTL_DEL, it->second.fd.get(), nullptr);
        conns.erase(it);
    }

    void on_ready(std::uint64_t id, std::uint32_t events)
    {
        auto it = conns.find(id);
        if (it == conns.end()) return;
        Conn& c = it->second;
        if (events & (EPOLLERR | EPOLLHUP)) return close_conn(id);
        if (events & EPOLLOUT) {
            if (!flush(id, c)) return;
        }
        if (events & (EPOLLIN | EPOLLRDHUP)) {
            char buffer[16384];
            for (;;) {
                ssize_t n = ::read(c.fd.get(), buffer, sizeof buffer);
                if (n > 0) {
                    c.last_seen = Clock::now();
                    // A stream's client has nothing more to say; whatever it sends is dropped.
                    if (c.phase != Phase::Streaming) c.in.append(buffer, static_cast<std::size_t>(n));
                    if (c.in.size() > kMaxHead + kMaxBody) return close_conn(id);
                    continue;
                }
                if (n == 0) return close_conn(id);  // the client closed: nobody to answer
                if (errno == EINTR) continue;
                if (errno == EAGAIN) break;
                return close_conn(id);
            }
            if (c.phase == Phase::Reading) next_request(id, c);
        }
    }

    // Takes the request at the front of c.in, if it is complete, and starts answering it.
    void next_request(std::uint64_t id, Conn& c)
    {
        ParsedRequest parsed = parse_request(c.in, kMaxHead, kMaxBody);
        if (parsed.outcome == ParsedRequest::Outcome::Incomplete) return;
        if (parsed.outcome == ParsedRequest::Outcome::Refused) return refuse(id, c, std::move(*parsed.refusal));
        c.in.erase(0, parsed.consumed);
        c.close_when_sent = parsed.close_after;
        c.phase = Phase::Answering;
        dispatch(id, c, std::move(parsed.request));
    }

    void refuse(std::uint64_t id, Conn& c, HttpResponse r)
    {
        c.phase = Phase::Answering;
        c.close_when_sent = true;
        c.in.clear();
        send_head_and_body(id, c, r);
    }

    void dispatch(std::uint64_t id, Conn& c, HttpRequest req)
    {
        if (gate) {
            if (auto refusal = gate(req)) {
                c.close_when_sent = true;
                return send_head_and_body(id, c, *refusal);
            }
        }
        if (auto s = streams.find(req.path); s != streams.end() && req.method == "GET") {
            c.phase = Phase::Streaming;
            c.close_when_sent = true;
            c.in.clear();
            ++owner.open_streams_;
            ::setsockopt(c.fd.get(), SOL_SOCKET, SO_SNDBUF, &kStreamSocketBuffer, sizeof kStreamSocketBuffer);
            std::string head =
                "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                "Connection: close\r\n\r\n";
            queue(c, std::make_shared<const std::string>(head + s->second()));
            flush(id, c);
            return;
        }
        auto h = handlers.find({req.method, req.path});
        if (h == handlers.end()) {
            bool other_method = std::any_of(handlers.begin(), handlers.end(),
                                            [&](const auto& e) { return e.first.second == req.path; }) ||
                                streams.count(req.path);
            return send_head_and_body(
                id, c, other_method ? plain_response(405, "method not allowed") : plain_response(404, "not found"));
        }
        Handler* handler = &h->second;
        submit([this, id, handler, req = std::move(req)] {
            HttpResponse r;
            try {
                r = (*handler)(req);
            } catch (const std::exception& e) {
                r = plain_response(500, std::string("internal error: ") + e.what());
            }
            MoreBody more = r.more ? std::make_shared<MoreBody::element_type>(std::move(r.more)) : nullptr;
            std::string text = format_response(r, more != nullptr);
            post({id, std::move(text), more == nullptr, std::move(more)});
        });
    }

    void send_head_and_body(std::uint64_t id, Conn& c, const HttpResponse& r)
    {
        queue(c, std::make_shared<const std::string>(format_response(r, false)));
        flush(id, c);
    }

    void queue(Conn& c, std::shared_ptr<const std::string> text)
    {
        if (text->empty()) return;
        c.out_bytes += text->size();
        c.out.push_back({std::move(text), 0});
    }

    // Writes what the socket takes; false when the connection was closed.
    bool flush(std::uint64_t id, Conn& c)
    {
        while (!c.out.empty()) {
            Piece& p = c.out.front();
            ssize_t n = ::send(c.fd.get(), p.text->data() + p.offset, p.text->size() - p.offset, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) break;
                close_conn(id);
                return false;
            }
            p.offset += static_cast<std::size_t>(n);
            c.out_bytes -= static_cast<std::size_t>(n);
            c.last_seen = Clock::now();
            if (p.offset == p.text->size()) c.out.pop_front();
        }
        bool pending = !c.out.empty();
        if (pending != c.want_write) {
            c.want_write = pending;
            watch(c.fd.get(), id, EPOLLIN | EPOLLRDHUP | (pending ? EPOLLOUT : 0u), EPOLL_CTL_MOD);
        }
        if (c.phase == Phase::Streaming) return true;
        if (c.more) {
            if (!c.asking_more && c.out_bytes < kMoreBelow) ask_more(id, c);
            return true;
        }
        if (pending || c.phase != Phase::Answering || c.asking_more) return true;
        // Everything owed is sent: the next request, or goodbye.
        if (c.close_when_sent) {
            close_conn(id);
            return false;
        }
        c.phase = Phase::Reading;
        c.last_seen = Clock::now();
        if (!c.in.empty()) read_again.push_back(id);  // a request sent before this answer went out
        return true;
    }

    void ask_more(std::uint64_t id, Conn& c)
    {
        c.asking_more = true;
        submit([this, id, more = c.more] {
            std::optional<std::string> piece;
            try {
                piece = (*more)();
            } catch (const std::exception&) {
                // The body ends early; the missing terminator tells the client.
                post({id, std::nullopt, true});
                return;
            }
            if (piece)
                post({id, format_chunk(*piece), false});
            else
                post({id, std::string(kLastChunk), true});
        });
    }

    void take_handed_over()
    {
        std::vector<Result> done;
        std::vector<std::shared_ptr<const std::string>> events;
        {
            std::lock_guard lock(mutex);
            done.swap(results);
            events.swap(broadcasts);
        }
        for (auto& r : done) {
            auto it = conns.find(r.id);
            if (it == conns.end()) continue;  // the client left meanwhile
            Conn& c = it->second;
            c.asking_more = false;
            if (!r.text) {
                close_conn(r.id);
                continue;
            }
            if (r.more)
                c.more = std::move(r.more);
            else if (r.last)
                c.more.reset();
            queue(c, std::make_shared<const std::string>(std::move(*r.text)));
            flush(r.id, c);
        }
        if (events.empty()) return;
        std::vector<std::uint64_t> behind;
        for (auto& [id, c] : conns) {
            if (c.phase != Phase::Streaming) continue;
            for (const auto& e : events) queue(c, e);
            if (c.out_bytes > kStreamQueueLimit) behind.push_back(id);
        }
        for (auto id : behind) close_conn(id);  // the client stopped reading
        std::vector<std::uint64_t> ids;
        for (auto& [id, c] : conns)
            if (c.phase == Phase::Streaming && !c.out.empty()) ids.push_back(id);
        for (auto id : ids)
            if (auto it = conns.find(id); it != conns.end()) flush(id, it->second);
    }

    void sweep_idle(Clock::time_point now)
    {
        std::vector<std::uint64_t> idle;
        for (auto& [id, c] : conns)
            if ((c.phase == Phase::Reading || (c.phase == Phase::Answering && !c.out.empty())) &&
                now - c.last_seen > kIdleTimeout)
                idle.push_back(id);
        for (auto id : idle) close_conn(id);
    }
};

HttpServer::HttpServer(std::size_t workers) : impl_(std::make_unique<Impl>(*this, workers)) {}

HttpServer::~HttpServer() = default;

void HttpServer::set_gate(Gate gate)
{
    impl_->gate = std::move(gate);
}

void HttpServer::handle(std::string method, std::string path, Handler handler)
{
    impl_->handlers[{std::move(method), std::move(path)}] = std::move(handler);
}

void HttpServer::stream(std::string path, StreamStart start)
{
    impl_->streams[std::move(path)] = std::move(start);
}

int HttpServer::bind(const std::string& host, int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    for (addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) continue;
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd.get(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) continue;
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
        int got = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                              : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        impl_->listen_fd = std::move(fd);
        return got;
    }
    return -1;
}

bool HttpServer::serve()
{
    return impl_->run();
}

void HttpServer::stop()
{
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->work_ready.notify_all();
    impl_->wake();
}

void HttpServer::broadcast(std::string event)
{
    {
        std::lock_guard lock(impl_->mutex);
        impl_->broadcasts.push_back(std::make_shared<const std::string>(std::move(event)));
    }
    impl_->wake();
}

}  // namespace dashboard
