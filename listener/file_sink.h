#pragma once

// The embedded default sink: one append-only file of records (see
// listener_core.h), keyed on the event id. The ids already in the file are
// read at start, so each id is kept once also across restarts; a repeat is
// answered 200 without writing, another body under a kept id 409. A batch is answered only after fdatasync.

#include "listener/listener_sink.h"

#include <QHash>
#include <QString>

#include <memory>

namespace listener
{

class FileSink final : public Sink
{
public:
    // Opens FILE (creating it), locks it against a second listener and reads
    // the ids it holds. A record cut short by a crash at the end (never
    // answered 2xx) is cut off, and `note` says so. Empty with the reason in
    // `error` when the file cannot be used.
    static std::unique_ptr<FileSink> open(const QString& path, QString* error, QString* note);
    // Records to standard output; ids are known only since start.
    static std::unique_ptr<FileSink> standardOutput();
    ~FileSink() override;

    qsizetype storedIds() const { return mIds.size(); }

protected:
    void write(std::vector<Submission>& batch) override;

private:
    FileSink(int fd, bool ownsFd, QHash<QByteArray, QByteArray> ids);

    int mFd;
    bool mOwnsFd;
    bool mSync;
    long long mGoodSize; // the end of the last whole record written
    bool mTorn = false; // something after mGoodSize still has to be cut off
    QHash<QByteArray, QByteArray> mIds; // event id -> its body's digest
};

} // namespace listener
