// Load generator for zepta-listener (run by hand, or by scripts/bench-listener):
// N clients, each on one kept-alive connection, post M event documents of
// Zepta's form; every tenth event is sent a second time right after the next
// one, as an outbox retrying after a lost answer would. One thread drives all
// clients through curl's multi interface (real TLS, a crew's real key), so the
// generator takes as little as it can of the processors it shares with the
// listener and the database. Prints events/s, requests/s, the p50/p99 latency
// of one post and the answers received.
//
// --slow K first opens K connections that each send "POST / HTTP/1.1" and then
// one byte every 5-10 s (a slow-loris crowd), from --slow-sources addresses
// 127.0.0.2 and up, keeps them dripping during the load and reports how many
// the listener turned away or cut off.
//
//   listener_load --port P [--clients 50] [--events 200] [--slow 0] [--slow-sources 1] [--slow-seconds 0]
//                 [--cafile CA.pem]   (HTTPS; the key, if any, in ZEPTA_LOAD_KEY)

#include <curl/curl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::string uuid(std::mt19937_64& random)
{
    const std::uint64_t high = (random() & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
    const std::uint64_t low = (random() & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(high >> 32),
        static_cast<unsigned>((high >> 16) & 0xffff), static_cast<unsigned>(high & 0xffff),
        static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

std::string document(const std::string& id, int client, int n)
{
    char reading[512];
    std::snprintf(reading, sizeof reading,
        "<GpsReading><Gmt>2026-12-06T07:30:15Z</Gmt><Latitude>%.7f</Latitude><Longitude>%.7f</Longitude>"
        "<Speed>1.25</Speed><Heading>90.0</Heading><Altitude>96.5</Altitude><FixQuality>1</FixQuality>"
        "<Satellites>7</Satellites><Hdop>1.2</Hdop><Locked>true</Locked></GpsReading>",
        57.0 + n * 1e-5, -6.0 - client * 1e-4);
    return "<?xml version=\"1.0\"?><Zepta><GeocodedEvent><EventId>" + id + "</EventId><ClientId>load "
        + std::to_string(client) + "</ClientId><EventTypeId>101</EventTypeId><Notes>event " + std::to_string(n)
        + " &amp; &lt;notes&gt;&#13;&#10;second line</Notes>" + reading + "</GeocodedEvent></Zepta>";
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

struct ClientResult {
    std::vector<double> latencies; // milliseconds
    std::map<long, int> statuses; // 0: transport failure
};

// With --cafile the load goes by HTTPS, the listener's certificate checked
// against FILE; ZEPTA_LOAD_KEY (never a command line) is sent as the crews'
// Bearer key.
std::string gCaFile;
std::string gAuthorization;

// One client: one easy handle on its own kept-alive connection, posting its
// events in order, each after the answer to the one before.
struct Client {
    std::unique_ptr<CURL, CurlCleanup> curl;
    std::unique_ptr<curl_slist, ListCleanup> headers;
    char* idField = nullptr; // the Idempotency-Key header's value, rewritten per post
    int number = 0;
    std::vector<std::string> ids;
    std::vector<int> plan; // the events in the order they are posted: every tenth again after the next one
    std::size_t next = 0;
    std::string body;
    Clock::time_point start;
    ClientResult* result = nullptr;
};

void setUp(Client& client, int number, int events, const std::string& url, ClientResult* result)
{
    client.number = number;
    client.result = result;
    std::mt19937_64 random(static_cast<std::uint64_t>(number) * 7919 + 17);
    int pending = -1;
    for (int n = 0; n < events; ++n) {
        client.ids.push_back(uuid(random));
        client.plan.push_back(n);
        if (pending >= 0)
            client.plan.push_back(std::exchange(pending, -1));
        if (n % 10 == 5)
            pending = n;
    }
    if (pending >= 0)
        client.plan.push_back(pending);
    client.curl.reset(curl_easy_init());
    CURL* curl = client.curl.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (!gCaFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, gCaFile.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROXY, ""); // loopback: no proxy, and no proxy variables to read per post
    curl_easy_setopt(curl, CURLOPT_PRIVATE, &client);
    // The headers built once; only the Idempotency-Key changes per post.
    client.headers.reset(curl_slist_append(nullptr, "Idempotency-Key: 00000000-0000-0000-0000-000000000000"));
    client.idField = client.headers->data + sizeof "Idempotency-Key: " - 1;
    curl_slist_append(client.headers.get(), "Content-Type: text/xml; charset=utf-8");
    curl_slist_append(client.headers.get(), "Expect:");
    if (!gAuthorization.empty())
        curl_slist_append(client.headers.get(), gAuthorization.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, client.headers.get());
}

// Prepares the client's next post; false when it has posted everything.
bool nextPost(Client& client)
{
    if (client.next == client.plan.size())
        return false;
    const int n = client.plan[client.next++];
    const std::string& id = client.ids[static_cast<std::size_t>(n)];
    std::memcpy(client.idField, id.data(), 36); // every id is a 36-character UUID
    client.body = document(id, client.number, n);
    curl_easy_setopt(client.curl.get(), CURLOPT_POSTFIELDS, client.body.c_str());
    curl_easy_setopt(client.curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(client.body.size()));
    client.start = Clock::now();
    return true;
}

// All clients from one thread through curl's multi interface: each answer
// that arrives is read, and that client's next post sent, in one pass, so
// the generator itself costs as little of the shared processors as it can.
void runClients(std::vector<Client>& clients)
{
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(clients.size()));
    for (Client& client : clients)
        if (nextPost(client))
            curl_multi_add_handle(multi, client.curl.get());
    int running = 1;
    while (running > 0) {
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            CURL* curl = message->easy_handle;
            Client* client = nullptr;
            curl_easy_getinfo(curl, CURLINFO_PRIVATE, &client);
            long status = 0;
            if (message->data.result == CURLE_OK)
                curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
            client->result->latencies.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - client->start).count());
            ++client->result->statuses[status];
            curl_multi_remove_handle(multi, curl);
            if (nextPost(*client)) {
                curl_multi_add_handle(multi, curl);
                running = 1;
            }
        }
        if (running > 0)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    curl_multi_cleanup(multi);
}

// The slow-loris crowd.
struct Crowd {
    std::vector<int> fds;
    std::vector<Clock::time_point> nextDrip;
    std::vector<bool> open;
    int refused = 0; // could not even connect
    std::atomic<bool> stop {false};
    std::atomic<int> cut {0}; // closed by the listener after connecting
};

void openCrowd(Crowd& crowd, int count, int sources, unsigned short port)
{
    std::mt19937 random(42);
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from {};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7f000002u + static_cast<unsigned>(i % std::max(1, sources)));
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0
            || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            if (fd >= 0)
                ::close(fd);
            ++crowd.refused;
            continue;
        }
        static const char head[] = "POST / HTTP/1.1\r\n";
        ::send(fd, head, sizeof head - 1, MSG_NOSIGNAL);
        crowd.fds.push_back(fd);
        crowd.open.push_back(true);
        crowd.nextDrip.push_back(Clock::now() + std::chrono::milliseconds(5000 + random() % 5000));
    }
}

void dripCrowd(Crowd* crowd)
{
    std::mt19937 random(7);
    std::vector<pollfd> polls;
    while (!crowd->stop) {
        polls.clear();
        for (std::size_t i = 0; i < crowd->fds.size(); ++i)
            polls.push_back({crowd->open[i] ? crowd->fds[i] : -1, POLLIN, 0});
        ::poll(polls.data(), polls.size(), 200);
        const auto now = Clock::now();
        for (std::size_t i = 0; i < crowd->fds.size(); ++i) {
            if (!crowd->open[i])
                continue;
            char buffer[512];
            bool closed = (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0
                && ::recv(crowd->fds[i], buffer, sizeof buffer, MSG_DONTWAIT) <= 0;
            if (!closed && now >= crowd->nextDrip[i]) {
                closed = ::send(crowd->fds[i], "X", 1, MSG_NOSIGNAL) != 1;
                crowd->nextDrip[i] = now + std::chrono::milliseconds(5000 + random() % 5000);
            }
            if (closed) {
                crowd->open[i] = false;
                ++crowd->cut;
            }
        }
    }
}

double percentile(std::vector<double>& values, double p)
{
    if (values.empty())
        return 0.0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

} // namespace

int main(int argc, char* argv[])
{
    int port = 0;
    int clients = 50;
    int events = 200;
    int slow = 0;
    int sources = 1;
    int slowSeconds = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--port")
            port = value;
        else if (option == "--clients")
            clients = value;
        else if (option == "--events")
            events = value;
        else if (option == "--slow")
            slow = value;
        else if (option == "--slow-sources")
            sources = value;
        else if (option == "--slow-seconds")
            slowSeconds = value;
        else if (option == "--cafile")
            gCaFile = argv[i + 1];
        else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (port <= 0 || port > 65535 || clients <= 0 || events <= 0) {
        std::fprintf(stderr,
            "usage: listener_load --port P [--clients 50] [--events 200] [--slow K] "
            "[--slow-sources S] [--slow-seconds T]\n");
        return 2;
    }
    if (const char* key = std::getenv("ZEPTA_LOAD_KEY"); key && *key)
        gAuthorization = std::string("Authorization: Bearer ") + key;
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);

    Crowd crowd;
    std::thread dripper;
    if (slow > 0) {
        openCrowd(crowd, slow, sources, static_cast<unsigned short>(port));
        dripper = std::thread(dripCrowd, &crowd);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::printf("slow crowd: %d connections from %d address(es), %d refused at connect, %d closed by the "
                    "listener within 1 s\n",
            slow, sources, crowd.refused, crowd.cut.load());
    }

    std::vector<ClientResult> results(static_cast<std::size_t>(clients));
    std::vector<Client> posters(static_cast<std::size_t>(clients));
    const std::string url = (gCaFile.empty() ? "http" : "https") + std::string("://127.0.0.1:") + std::to_string(port)
        + "/Zepta/listener.asp";
    for (int c = 0; c < clients; ++c)
        setUp(posters[static_cast<std::size_t>(c)], c, events, url, &results[static_cast<std::size_t>(c)]);
    const auto start = Clock::now();
    runClients(posters);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double> latencies;
    std::map<long, int> statuses;
    for (const ClientResult& result : results) {
        latencies.insert(latencies.end(), result.latencies.begin(), result.latencies.end());
        for (const auto& [status, count] : result.statuses)
            statuses[status] += count;
    }
    const double distinct = static_cast<double>(clients) * events;
    std::printf("clients %d, events per client %d, every tenth sent twice: %zu requests, %.0f distinct events\n",
        clients, events, latencies.size(), distinct);
    std::printf("wall %.2f s: %.0f events/s (%.0f requests/s)\n", seconds, distinct / seconds,
        static_cast<double>(latencies.size()) / seconds);
    const double p50 = percentile(latencies, 0.50);
    const double p99 = percentile(latencies, 0.99);
    std::printf("latency of one post: p50 %.2f ms, p99 %.2f ms\n", p50, p99);
    std::printf("answers:");
    for (const auto& [status, count] : statuses)
        std::printf(" %d x %ld", count, status);
    std::printf("%s\n", statuses.count(0) ? " (0: no answer)" : "");

    if (slow > 0) {
        const auto until = start + std::chrono::seconds(slowSeconds);
        while (Clock::now() < until && crowd.cut.load() + crowd.refused < slow)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        crowd.stop = true;
        dripper.join();
        std::printf("slow crowd after %.0f s: %d closed by the listener, %d still open\n",
            std::chrono::duration<double>(Clock::now() - start).count(), crowd.cut.load(),
            slow - crowd.refused - crowd.cut.load());
        for (const int fd : crowd.fds)
            ::close(fd);
    }
    curl_global_cleanup();
    return statuses.size() == 1 && statuses.count(200) ? 0 : 1;
}
