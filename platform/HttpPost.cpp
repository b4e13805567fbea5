#include "platform/HttpPost.h"

#include "platform/Error.h"

#include <curl/curl.h>

#include <cstdlib>

namespace http
{

namespace
{

Timeouts& defaults()
{
    static Timeouts value;
    return value;
}

// libcurl's global state is set up once per process, before the first handle.
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

} // namespace

Timeouts setDefaultTimeouts(const Timeouts& timeouts)
{
    const Timeouts previous = defaults();
    defaults() = timeouts;
    return previous;
}

Timeouts defaultTimeouts() { return defaults(); }

struct HttpPost::Handle {
    struct EasyCleanup {
        void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
    };
    struct ListFree {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };
    std::unique_ptr<CURL, EasyCleanup> curl;
};

HttpPost::HttpPost()
    : mHandle(std::make_unique<Handle>())
    , mTimeouts(defaults())
{
    initialiseLibrary();
    mHandle->curl.reset(curl_easy_init());
    if (!mHandle->curl)
        throw ZeptaError(QStringLiteral("The HTTP library cannot create a request"));
}

HttpPost::~HttpPost() = default;

int HttpPost::post(const QString& url, const QByteArray& body, const QByteArray& contentType)
{
    CURL* const curl = mHandle->curl.get();
    curl_easy_reset(curl);
    mStatusLine.clear();

    std::unique_ptr<curl_slist, Handle::ListFree> headers;
    for (const QByteArray& header : {QByteArray("Content-Type: ") + contentType,
             // No "100 Continue" round trip: the body is small and sent at once.
             QByteArray("Expect:")}) {
        curl_slist* const grown = curl_slist_append(headers.get(), header.constData());
        if (!grown)
            throw ZeptaError(QStringLiteral("Out of memory while preparing the request to %1").arg(url));
        headers.release();
        headers.reset(grown);
    }

    const QByteArray urlBytes = url.toUtf8();
    const QByteArray noProxy = noProxyList();
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_URL, urlBytes.constData());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L); // no SIGALRM in a GUI program
    curl_easy_setopt(curl, CURLOPT_NOPROXY, noProxy.constData());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, mTimeouts.connectMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, mTimeouts.totalMs);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discardBody);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &keepStatusLine);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &mStatusLine);

    const CURLcode rc = curl_easy_perform(curl);
    // The buffers above die with this call: the handle must not keep them.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    if (rc != CURLE_OK) {
        const QString reason = errorText[0] ? QString::fromUtf8(errorText) : QString::fromUtf8(curl_easy_strerror(rc));
        throw ZeptaError(QStringLiteral("Posting to %1 failed: %2").arg(url, reason));
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        const QString answer = mStatusLine.isEmpty() ? QStringLiteral("status %1").arg(status) : mStatusLine;
        throw ZeptaError(QStringLiteral("Posting to %1 failed: the server answered %2").arg(url, answer));
    }
    return static_cast<int>(status);
}

} // namespace http
