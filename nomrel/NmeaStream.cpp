#include "nomrel/NmeaStream.h"

#include "nomrel/NmeaQuality.h"

#include <algorithm>
#include <cstdio>

namespace nomrel::nmea
{

namespace
{
constexpr int kHalfDayMs = 12 * 3600 * 1000;
} // namespace

std::string isoTime(const Fix& fix)
{
    if (!fix.time || !fix.date)
        return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", fix.date->year, fix.date->month,
        fix.date->day, fix.time->hour, fix.time->minute, fix.time->second, fix.time->millisecond);
    return text;
}

// ---------------------------------------------------------------- FixAssembler

void FixAssembler::push(const Sentence& sentence)
{
    if (const auto time = sentence.time()) {
        if (!mCycle.fix.time) {
            mCycle.fix.time = time;
        } else if (*mCycle.fix.time != *time) {
            // A new cycle begins; learn which sentence closes a cycle.
            if (!mCycle.emitted) {
                if (mLastKey && mCandidate && *mCandidate == *mLastKey && !notEnder(*mLastKey))
                    mEnder = mLastKey;
                else
                    mEnder.reset();
            }
            mCandidate = mLastKey;
            finishCycle();
            startCycle(*time);
        }
    }
    if (mCycle.emitted && mEnder) {
        // The cycle was given out too early: what comes now is lost to it, but
        // from the next cycle on each waits for its last sentence.
        if (mNotEnderCount < static_cast<int>(mNotEnders.size()))
            mNotEnders[static_cast<std::size_t>(mNotEnderCount++)] = *mEnder;
        mEnder.reset();
    }

    apply(sentence);
    ++mCycle.fix.sentences;

    Key key {sentence.id.talker, sentence.id.type, false};
    if (const auto* gsv = std::get_if<Gsv>(&sentence.data))
        key.lastPart = gsv->lastPart();
    mLastKey = key;
    if (mEnder && *mEnder == key && !mCycle.emitted) {
        mOnFix(resolve());
        mCycle.emitted = true;
    }
}

bool FixAssembler::notEnder(const Key& key) const
{
    for (int i = 0; i < mNotEnderCount; ++i)
        if (mNotEnders[static_cast<std::size_t>(i)] == key)
            return true;
    return false;
}

void FixAssembler::flush()
{
    finishCycle();
    mCycle = Cycle();
    mLastKey.reset();
}

void FixAssembler::reset()
{
    mCycle = Cycle();
    mLastKey.reset();
    mCandidate.reset();
    mEnder.reset();
    mNotEnders = {};
    mNotEnderCount = 0;
    mDate.reset();
    mDateTimeMs = 0;
    mLastMode = 1;
    mInView = {};
}

void FixAssembler::startCycle(const TimeOfDay& time)
{
    mCycle = Cycle();
    mCycle.fix.time = time;
    mLastKey.reset();
}

void FixAssembler::finishCycle()
{
    if (!mCycle.emitted && mCycle.fix.sentences > 0)
        mOnFix(resolve());
    mCycle.emitted = true;
}

void FixAssembler::apply(const Sentence& sentence)
{
    Fix& fix = mCycle.fix;
    auto setDate = [this, &fix](const Date& date, const std::optional<TimeOfDay>& time) {
        fix.date = date;
        mDate = date;
        mDateTimeMs = time ? time->msOfDay() : 0;
    };

    if (const auto* s = std::get_if<Rmc>(&sentence.data)) {
        mCycle.rmcStatus = s->status;
        if (s->position)
            fix.position = s->position;
        if (s->speedKnots)
            fix.speed = *s->speedKnots * kMetresPerSecondPerKnot;
        if (s->course)
            fix.track = s->course;
        if (s->date)
            setDate(*s->date, s->time);
    } else if (const auto* s = std::get_if<Gga>(&sentence.data)) {
        if (s->position)
            fix.position = s->position;
        if (s->quality)
            fix.quality = s->quality;
        // "00" satellites beside a fix is a receiver not counting (the GNS
        // or GSA of the cycle may say how many); it never hides their count.
        if (s->satellites == 0)
            mCycle.ggaNoSatellites = true;
        else if (s->satellites)
            fix.satellitesUsed = s->satellites;
        if (s->hdop)
            fix.hdop = s->hdop;
        if (s->altitude)
            fix.altitude = s->altitude;
    } else if (const auto* s = std::get_if<Gsa>(&sentence.data)) {
        mCycle.gsaSeen = true;
        if (s->fixType)
            mCycle.gsaFixType = s->fixType;
        mCycle.gsaSatellites += s->satellitesUsed;
        if (s->hdop)
            mCycle.gsaHdop = s->hdop;
    } else if (const auto* s = std::get_if<Vtg>(&sentence.data)) {
        if (s->course)
            fix.track = s->course;
        if (s->speedKnots)
            fix.speed = *s->speedKnots * kMetresPerSecondPerKnot;
        else if (s->speedKmh)
            fix.speed = *s->speedKmh / 3.6;
    } else if (const auto* s = std::get_if<Gll>(&sentence.data)) {
        mCycle.gllStatus = s->status;
        if (s->position)
            fix.position = s->position;
    } else if (const auto* s = std::get_if<Gsv>(&sentence.data)) {
        if (s->inView) {
            for (auto& entry : mInView) {
                if (entry.talker == sentence.id.talker || entry.talker == std::array<char, 2> {}) {
                    entry.talker = sentence.id.talker;
                    entry.count = *s->inView;
                    break;
                }
            }
        }
    } else if (const auto* s = std::get_if<Gns>(&sentence.data)) {
        if (s->position)
            fix.position = s->position;
        if (s->anyFix())
            mCycle.gnsFix = true;
        else if (s->modes[0] != 0)
            mCycle.gnsNoFix = true;
        // As for GGA, the later sentence wins: a GNS after a GPS-only GGA
        // counts the satellites of every system.
        if (s->satellites)
            fix.satellitesUsed = s->satellites;
        if (s->hdop)
            fix.hdop = s->hdop;
        if (s->altitude)
            fix.altitude = s->altitude;
    } else if (const auto* s = std::get_if<Zda>(&sentence.data)) {
        if (s->date)
            setDate(*s->date, s->time);
    } else if (const auto* s = std::get_if<Gst>(&sentence.data)) {
        // A GST of another epoch says nothing about this one.
        if (!s->time || !fix.time || *s->time == *fix.time)
            applyGst(fix, *s);
    }
}

Fix FixAssembler::resolve()
{
    Fix fix = mCycle.fix;
    const Cycle& c = mCycle;

    // The date: this cycle's own, else the last one known, moved on a day
    // when the time of day has wrapped past midnight since.
    if (!fix.date && mDate && fix.time) {
        if (fix.time->msOfDay() + kHalfDayMs < mDateTimeMs)
            mDate = nextDay(*mDate);
        mDateTimeMs = fix.time->msOfDay();
        fix.date = mDate;
    }

    const bool voided = c.rmcStatus == 'V' || c.gllStatus == 'V';
    // A quality above 0 with no satellites used says nothing either way.
    const bool fixQuality
        = (fix.quality && *fix.quality > 0 && (!c.ggaNoSatellites || fix.satellitesUsed.value_or(0) > 0)) || c.gnsFix;
    const bool noFixQuality = (fix.quality && *fix.quality == 0) || (!fix.quality && c.gnsNoFix);
    // A GGA with a fix and an altitude is a 3D fix even where the GSA says 2D
    // (receivers that send GSA for one system only); a GSA can raise a GGA
    // without altitude, or without satellites, to its own mode.
    const int ggaMode = fixQuality ? (fix.altitude ? 3 : 2) : 0;
    if (voided || noFixQuality)
        fix.mode = 1;
    else if (ggaMode > 0 || c.gsaFixType)
        fix.mode = std::max(ggaMode, c.gsaFixType.value_or(0));
    else if (c.rmcStatus == 'A' || c.gllStatus == 'A')
        fix.mode = std::max(2, mLastMode); // a fix, of the kind the last cycle told
    else
        fix.mode = 1;
    fix.valid = fix.mode >= 2 && fix.position.has_value();
    fix.statusKnown = c.rmcStatus != 0 || c.gllStatus != 0 || fix.quality || c.gsaFixType || c.gnsFix || c.gnsNoFix;
    if (fix.statusKnown)
        mLastMode = fix.mode;

    if (!fix.satellitesUsed && c.gsaSeen)
        fix.satellitesUsed = c.gsaSatellites;
    if (!fix.satellitesUsed && c.ggaNoSatellites)
        fix.satellitesUsed = 0;
    if (!fix.hdop)
        fix.hdop = c.gsaHdop;
    int inView = 0;
    bool anyInView = false;
    for (const auto& entry : mInView) {
        if (entry.talker != std::array<char, 2> {}) {
            inView += entry.count;
            anyInView = true;
        }
    }
    if (anyInView)
        fix.satellitesInView = inView;
    return fix;
}

// ---------------------------------------------------------------- Decoder

Decoder::Decoder(OnFix onFix, OnSentence onSentence)
    : mOnFix(std::move(onFix))
    , mOnSentence(std::move(onSentence))
    , mAssembler([this](const Fix& fix) {
        ++mCounters.fixes;
        if (mOnFix)
            mOnFix(fix);
    })
{
}

void Decoder::feed(const char* data, std::size_t size)
{
    mSplitter.feed(data, size, [this](std::string_view text) { line(text); });
}

void Decoder::finish() { mAssembler.flush(); }

void Decoder::reset()
{
    mChecksums = false;
    mSplitter.reset();
    mAssembler.reset();
}

DecodeCounters Decoder::counters() const
{
    DecodeCounters counters = mCounters;
    counters.overlong = mSplitter.overlongLines();
    return counters;
}

void Decoder::line(std::string_view text)
{
    ++mCounters.lines;
    ParseResult result = parse(text);
    // A receiver sends checksums always or never. Once one has come, a
    // sentence without one is a piece of a line cut short, not a sentence.
    if (result.hasChecksum)
        mChecksums = true;
    else if (mChecksums && result.outcome == Outcome::Parsed)
        result.outcome = Outcome::MissingChecksum;
    if (mOnSentence)
        mOnSentence(text, result.outcome == Outcome::Parsed || result.outcome == Outcome::Ignored);
    switch (result.outcome) {
    case Outcome::Parsed:
        ++mCounters.parsed;
        if (!result.hasChecksum)
            ++mCounters.withoutChecksum;
        mAssembler.push(result.sentence);
        break;
    case Outcome::MissingChecksum:
        ++mCounters.malformed;
        break;
    case Outcome::Ignored:
        ++mCounters.ignored;
        break;
    case Outcome::Rejected:
        if (result.check == Check::BadChecksum)
            ++mCounters.badChecksum;
        else
            ++mCounters.malformed;
        break;
    case Outcome::TooFewFields:
        ++mCounters.malformed;
        break;
    }
}

} // namespace nomrel::nmea
