#include "platform/HttpClient.h"

#include "platform/Error.h"

#include <curl/curl.h>

namespace http
{

namespace
{

// libcurl's global state is set up once per process, before any handle.
void initialiseLibrary()
{
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK)
        throw ZeptaError(
            QStringLiteral("The HTTP library cannot start: %1").arg(QString::fromUtf8(curl_easy_strerror(rc))));
}

// Loopback addresses never go through a proxy; other hosts follow the
// environment's proxy settings like any other program of the system.
QByteArray noProxyList()
{
    QByteArray list = qgetenv("no_proxy");
    if (list.isEmpty())
        list = qgetenv("NO_PROXY");
    if (list.trimmed() == "*")
        return list;
    if (!list.isEmpty())
        list += ',';
    return list + "localhost,127.0.0.1,::1";
}

size_t discardBody(char*, size_t size, size_t count, void*) { return size * count; }

size_t keepStatusLine(char* data, size_t size, size_t count, void* target)
{
    const size_t length = size * count;
    const QByteArray line = QByteArray(data, static_cast<qsizetype>(length)).trimmed();
    // After a "100 Continue" or a redirect the last status line is the answer.
    if (line.startsWith("HTTP/"))
        *static_cast<QString*>(target) = QString::fromLatin1(line);
    return length;
}

struct ListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

QString Answer::text() const
{
    if (!statusLine.isEmpty())
        return statusLine;
    if (status != 0)
        return QStringLiteral("HTTP status %1").arg(status);
    return error;
}

struct Client::Handles {
    struct MultiCleanup {
        void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
    };
    struct EasyCleanup {
        void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
    };
    // The multi handle keeps the connections; it goes last.
    std::unique_ptr<CURLM, MultiCleanup> multi;
    std::unique_ptr<CURL, EasyCleanup> easy;
};

Client::Client()
    : mHandles(std::make_unique<Handles>())
{
    initialiseLibrary();
    mHandles->multi.reset(curl_multi_init());
    mHandles->easy.reset(curl_easy_init());
    if (!mHandles->multi || !mHandles->easy)
        throw ZeptaError(QStringLiteral("The HTTP library cannot create a request"));
}

Client::~Client()
{
    if (mHandles->multi && mHandles->easy)
        curl_multi_remove_handle(mHandles->multi.get(), mHandles->easy.get());
    mHandles->easy.reset(); // before the multi handle
}

void Client::wake()
{
    mWoken = true;
    curl_multi_wakeup(mHandles->multi.get());
}

void Client::interrupt()
{
    mInterrupted = true;
    wake();
}

void Client::wait(int ms)
{
    if (mWoken.exchange(false) || mInterrupted)
        return;
    curl_multi_poll(mHandles->multi.get(), nullptr, 0, ms, nullptr);
    mWoken = false;
}

Answer Client::post(const QString& url, const QByteArray& body, const QList<QByteArray>& headers,
    const Timeouts& timeouts, const QString& caFile)
{
    Answer answer;
    if (mInterrupted) {
        answer.interrupted = true;
        answer.error = QStringLiteral("interrupted");
        return answer;
    }
    CURLM* const multi = mHandles->multi.get();
    CURL* const easy = mHandles->easy.get();
    curl_easy_reset(easy);

    std::unique_ptr<curl_slist, ListFree> list;
    // No "100 Continue" round trip: the body is small and sent at once.
    QList<QByteArray> all = headers;
    all << QByteArrayLiteral("Expect:");
    for (const QByteArray& header : all) {
        curl_slist* const grown = curl_slist_append(list.get(), header.constData());
        if (!grown) {
            answer.error = QStringLiteral("out of memory while preparing the request");
            return answer;
        }
        list.release();
        list.reset(grown);
    }

    const QByteArray urlBytes = url.toUtf8();
    const QByteArray noProxy = noProxyList();
    const QByteArray caPath = caFile.toLocal8Bit();
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(easy, CURLOPT_URL, urlBytes.constData());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, noProxy.constData());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeouts.connectMs);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeouts.totalMs);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discardBody);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &keepStatusLine);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &answer.statusLine);
    // Verification stays on either way; only where the trusted authorities
    // come from changes. Headers (a crew's key) are never traced: no
    // CURLOPT_VERBOSE here.
    if (!caPath.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, caPath.constData());

    curl_multi_add_handle(multi, easy);
    CURLcode result = CURLE_OK;
    bool done = false;
    while (!done && !mInterrupted) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            break;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                result = message->data.result;
                done = true;
            }
        }
        if (!done)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    curl_multi_remove_handle(multi, easy);
    // The buffers above die with this call: the handle must not keep them.
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);

    if (!done) {
        answer.interrupted = true;
        answer.statusLine.clear();
        answer.error = QStringLiteral("interrupted");
        return answer;
    }
    if (result != CURLE_OK) {
        answer.statusLine.clear();
        answer.error = errorText[0] ? QString::fromUtf8(errorText) : QString::fromUtf8(curl_easy_strerror(result));
        // Never a silent fall back to plain HTTP: the event waits, and says why.
        if (result == CURLE_PEER_FAILED_VERIFICATION)
            answer.error = QStringLiteral("certificate not trusted: ") + answer.error;
        else if (result == CURLE_SSL_CACERT_BADFILE)
            answer.error = QStringLiteral("the CA file cannot be read: ") + answer.error;
        return answer;
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    answer.status = static_cast<int>(status);
    // Retry-After in seconds or as an HTTP date, turned into seconds from now.
    curl_off_t retryAfter = 0;
    if (curl_easy_getinfo(easy, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK && retryAfter > 0)
        answer.retryAfterSeconds = static_cast<long long>(retryAfter);
    return answer;
}

} // namespace http
