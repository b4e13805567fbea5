#pragma once

// Crews and their keys. A store keeps, per crew, the name and the SHA-256 of
// its key (never the key): the table zepta.crews in PostgreSQL, or a file
// beside the file sink's records (mode 0600, replaced atomically). CrewKeys
// is what the server asks: the store's crews read again twice a second, so a
// revocation reaches every listener on the same store within a second.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace listener
{

struct CrewRecord {
    QString name;
    QByteArray keyHash; // auth::keyHash of the key
    QDateTime created;
    QDateTime revoked; // null while the key is valid
};

class CrewStore
{
public:
    virtual ~CrewStore();
    // Every crew, revoked ones too. False with the reason when the store is
    // missing or cannot be read.
    virtual bool read(std::vector<CrewRecord>* crews, QString* error) = 0;
    // Adds a crew (creating the store if missing), or gives a revoked crew a
    // new key. False when the name has a valid key.
    virtual bool add(const QString& name, const QByteArray& keyHash, QString* error) = 0;
    // False when there is no such crew with a valid key.
    virtual bool revoke(const QString& name, QString* error) = 0;
    virtual QString where() const = 0; // for messages
    // After a failed call: the store is a database that could not be reached.
    virtual bool unreachable() const { return false; }
};

std::unique_ptr<CrewStore> fileCrewStore(const QString& path);
std::unique_ptr<CrewStore> pgCrewStore(const QByteArray& conninfo);
// The crews file of a file sink's records.
QString crewsFileFor(const QString& recordsPath);

class CrewKeys
{
public:
    CrewKeys(std::unique_ptr<CrewStore> store, std::function<void(const QString&)> log,
        std::chrono::milliseconds period = std::chrono::milliseconds(500));
    ~CrewKeys();
    CrewKeys(const CrewKeys&) = delete;
    CrewKeys& operator=(const CrewKeys&) = delete;

    // Reads the store now. False with the reason when it is missing or
    // unreadable; `unreachable` tells a database that is merely down.
    bool load(QString* error, bool* unreachable = nullptr);
    // Reads the store again every period until stop.
    void start();
    void stop();

    enum class Check { Known, Unknown, NotLoaded };
    // Whose key this is. Every valid key is compared, each in constant time,
    // so the time taken says nothing about the key.
    Check crewOf(const QByteArray& key, QByteArray* crew) const;

private:
    struct Key {
        QByteArray hash;
        QByteArray crew;
    };
    void run();

    std::unique_ptr<CrewStore> mStore;
    std::function<void(const QString&)> mLog;
    const std::chrono::milliseconds mPeriod;
    mutable std::mutex mMutex;
    std::shared_ptr<const std::vector<Key>> mKeys; // null until read once
    bool mFailing = false; // a failed reading is logged once
    std::mutex mStopMutex;
    std::condition_variable mWake;
    bool mStopping = false;
    std::thread mThread;
};

} // namespace listener
