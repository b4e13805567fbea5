#pragma once

// From a byte stream to fixes: LineSplitter cuts the stream into sentences,
// whatever the reads look like; FixAssembler gathers the sentences of one fix
// cycle into one Fix; Decoder runs both and counts what it drops.

#include "nomrel/NmeaParser.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace nomrel::nmea
{

// Cuts bytes into candidate sentences: from a '$' to the next CR or LF. A '$'
// inside a line starts a new sentence (the part before it is dropped unless it
// ends in "*hh"); bytes outside a sentence are skipped; a line longer than
// kMaxSentenceLength is dropped whole. Lines may be split over any number of
// feeds.
class LineSplitter
{
public:
    // Calls onLine for each complete line (without its line end).
    template <class OnLine> void feed(const char* data, std::size_t size, OnLine&& onLine)
    {
        for (std::size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (c == '$') {
                // Two sentences joined without a line end: the first is kept
                // when it is complete up to its checksum, else it was cut short.
                if (mInSentence && !mOverlong && mLength >= 4 && mBuffer[mLength - 3] == '*')
                    onLine(std::string_view(mBuffer.data(), mLength));
                else if (mLength > 0 || mOverlong)
                    ++mCutShort;
                mLength = 0;
                mOverlong = false;
                mInSentence = true;
                mBuffer[mLength++] = c;
            } else if (c == '\r' || c == '\n') {
                if (mInSentence && !mOverlong)
                    onLine(std::string_view(mBuffer.data(), mLength));
                mInSentence = false;
                mOverlong = false;
                mLength = 0;
            } else if (mInSentence && !mOverlong) {
                // Take the run up to the next '$' or line end in one go.
                std::size_t end = i + 1;
                while (end < size && data[end] != '$' && data[end] != '\r' && data[end] != '\n')
                    ++end;
                const std::size_t run = end - i;
                if (run > mBuffer.size() - mLength) {
                    mOverlong = true;
                    ++mOverlongLines;
                    mLength = 0;
                } else {
                    std::memcpy(mBuffer.data() + mLength, data + i, run);
                    mLength += run;
                }
                i = end - 1;
            }
        }
    }

    // Drops a partial line (a new device, a restart).
    void reset()
    {
        mLength = 0;
        mInSentence = false;
        mOverlong = false;
    }

    std::uint64_t overlongLines() const { return mOverlongLines; }
    std::uint64_t cutShort() const { return mCutShort; }

private:
    std::array<char, kMaxSentenceLength> mBuffer {};
    std::size_t mLength = 0;
    bool mInSentence = false;
    bool mOverlong = false;
    std::uint64_t mOverlongLines = 0;
    std::uint64_t mCutShort = 0;
};

// What one fix cycle (one epoch) said, gathered from all its sentences.
struct Fix {
    std::optional<TimeOfDay> time; // the cycle's time of day (UTC)
    std::optional<Date> date; // this cycle's date, or the last known one carried on
    std::optional<Position> position;
    std::optional<double> altitude; // metres above mean sea level
    std::optional<double> speed; // metres per second
    std::optional<double> track; // course over ground, degrees true
    std::optional<int> quality; // GGA fix quality
    std::optional<int> satellitesUsed;
    std::optional<int> satellitesInView;
    std::optional<double> hdop;
    // The receiver's error estimate (GST) of this cycle, metres, one sigma.
    std::optional<double> latitudeSd;
    std::optional<double> longitudeSd;
    int mode = 1; // 1 no fix (or nothing said about one), 2 2D, 3 3D
    bool valid = false; // a usable fix with a position
    bool statusKnown = false; // some sentence of the cycle said whether there is a fix
    int sentences = 0; // sentences that made up the cycle

    bool hasDateTime() const { return time && date; }
};

// "2014-12-31T03:07:19.000Z", or an empty string when the date or time is missing.
std::string isoTime(const Fix& fix);

// One Fix per fix cycle. A cycle ends when a sentence brings a different time
// of day. Once the same sentence has closed two cycles in a row, that sentence
// ends the cycle at once, so the fix is not held back until the next cycle
// begins; but a sentence that then still comes in the same cycle (a GSA after
// the RMC) shows it is not the last one, and it is never taken as the end
// again. Sentences without a time (GSA, VTG, GSV) and GST belong to the cycle
// they arrive in.
class FixAssembler
{
public:
    using OnFix = std::function<void(const Fix&)>;
    explicit FixAssembler(OnFix onFix)
        : mOnFix(std::move(onFix))
    {
    }

    void push(const Sentence& sentence);
    // Ends the current cycle (end of input).
    void flush();
    // Forgets everything (a new device).
    void reset();

private:
    // The identity of a sentence for recognising the one that ends a cycle.
    struct Key {
        std::array<char, 2> talker {};
        Type type = Type::Unknown;
        bool lastPart = false;
        friend bool operator==(const Key& a, const Key& b)
        {
            return a.talker == b.talker && a.type == b.type && a.lastPart == b.lastPart;
        }
    };
    struct Cycle {
        Fix fix;
        char rmcStatus = 0;
        char gllStatus = 0;
        bool gnsFix = false;
        bool gnsNoFix = false;
        std::optional<int> gsaFixType;
        int gsaSatellites = 0;
        bool gsaSeen = false;
        std::optional<double> gsaHdop;
        bool ggaNoSatellites = false; // a GGA said "00" satellites
        bool emitted = false;
    };

    void startCycle(const TimeOfDay& time);
    void finishCycle();
    void apply(const Sentence& sentence);
    Fix resolve();

    OnFix mOnFix;
    Cycle mCycle;
    std::optional<Key> mLastKey; // the last sentence of the current cycle
    std::optional<Key> mCandidate; // the sentence that closed the previous cycle
    std::optional<Key> mEnder; // confirmed: ends a cycle
    // Sentences seen to come after the cycle had been ended by them.
    std::array<Key, 4> mNotEnders {};
    int mNotEnderCount = 0;
    bool notEnder(const Key& key) const;
    std::optional<Date> mDate; // last known date
    int mDateTimeMs = 0; // the time of day it came with
    int mLastMode = 1; // of the last cycle that told whether there is a fix
    // Satellites in view per talker, carried from cycle to cycle (GSV comes
    // less often than once per cycle).
    struct InView {
        std::array<char, 2> talker {};
        int count = 0;
    };
    std::array<InView, 8> mInView {};
};

// Counters of the decoder: what was taken and what was dropped, and why.
struct DecodeCounters {
    std::uint64_t lines = 0; // candidate sentences cut from the stream
    std::uint64_t parsed = 0; // decoded sentences
    std::uint64_t ignored = 0; // well-formed but of other types (proprietary, ...)
    std::uint64_t badChecksum = 0;
    // Not printable, a broken checksum field, too few fields, or no checksum
    // from a receiver that sends them.
    std::uint64_t malformed = 0;
    std::uint64_t overlong = 0;
    std::uint64_t withoutChecksum = 0; // accepted without "*hh" (a receiver that sends none)
    std::uint64_t fixes = 0;
};

// Bytes in, fixes out.
class Decoder
{
public:
    using OnFix = FixAssembler::OnFix;
    // Called for every candidate sentence with whether it was accepted.
    using OnSentence = std::function<void(std::string_view line, bool accepted)>;

    explicit Decoder(OnFix onFix, OnSentence onSentence = {});
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    void feed(const char* data, std::size_t size);
    void feed(std::string_view data) { feed(data.data(), data.size()); }
    // End of input: the last cycle is given out.
    void finish();
    void reset();

    DecodeCounters counters() const;

private:
    void line(std::string_view text);

    OnFix mOnFix;
    OnSentence mOnSentence;
    LineSplitter mSplitter;
    FixAssembler mAssembler;
    DecodeCounters mCounters;
    bool mChecksums = false; // this stream has sent checksums
};

} // namespace nomrel::nmea
