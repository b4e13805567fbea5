#pragma once

// Answers sent gzipped to browsers that accept it: the office's 2,000 crews
// are half a megabyte of JSON, a tenth of that gzipped.

#include <QByteArray>

namespace listener
{

// Whether an Accept-Encoding header (may be null) accepts gzip.
bool acceptsGzip(const char* acceptEncoding);
// Whether a Content-Type is text worth compressing.
bool compressible(const QByteArray& contentType);
// The gzip file of `data`, at zlib's `level` (1 fastest, 9 smallest); empty on failure.
QByteArray gzip(const QByteArray& data, int level);

} // namespace listener
