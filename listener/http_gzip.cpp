#include "listener/http_gzip.h"

#include <QList>

#include <zlib.h>

namespace listener
{

bool acceptsGzip(const char* acceptEncoding)
{
    if (!acceptEncoding)
        return false;
    for (const QByteArray& item : QByteArray(acceptEncoding).split(',')) {
        const QList<QByteArray> parts = item.split(';');
        const QByteArray coding = parts.first().trimmed().toLower();
        if (coding != "gzip" && coding != "*")
            continue;
        bool refused = false;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray parameter = parts[i].trimmed().toLower();
            if (parameter.startsWith("q=")) {
                bool ok = false;
                refused = parameter.mid(2).toDouble(&ok) <= 0 || !ok;
            }
        }
        return !refused;
    }
    return false;
}

bool compressible(const QByteArray& contentType)
{
    return contentType.startsWith("application/json") || contentType.startsWith("text/");
}

QByteArray gzip(const QByteArray& data, int level)
{
    z_stream stream {};
    // 15 window bits, plus 16 for a gzip header and trailer.
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    const auto written = static_cast<qsizetype>(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END)
        return QByteArray();
    out.truncate(written);
    return out;
}

} // namespace listener
